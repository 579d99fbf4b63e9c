// Step 8: one row per submission into a table of an ODBC data source, as the
// form's database template describes. Failures are logged; the run goes on.
#pragma once

struct Run;

bool insert_database_record(Run& run);
