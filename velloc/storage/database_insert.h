// Step 8: one row per submission into a table of an ODBC data source, as the
// form's database template describes. Failures are logged; the run goes on.
// Every statement handle is released before the insert returns, after a failed
// call too; the connection goes back to the Site when it keeps connections and
// the insert succeeded, and is released otherwise.
#pragma once

struct Run;

bool insert_database_record(Run& run);
