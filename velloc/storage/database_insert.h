// Step 8: one row per submission into a table of an ODBC data source, as the
// form's database template describes. Failures are logged; the run goes on.
// Every ODBC handle obtained is released before the insert returns, after a
// failed call too.
#pragma once

struct Run;

bool insert_database_record(Run& run);
