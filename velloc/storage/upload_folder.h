// Copies of a run's accepted uploads kept in a folder named by the text-file
// template (key UPLOAD_FOLDER). Each copy is a new file named
// "<receipt number or timestamp>-<n>-<shown name>", never one that exists and never
// through a symbolic link; the path is shown to templates as <FIELD>_SAVED.
#pragma once

#include <string>

struct Run;

// The first part of the saved names: the run's receipt number when it has one,
// otherwise the local time as YYYYMMDDHHMMSS.
std::string saved_upload_prefix(const Run& run);

// Saves every upload of the run into `folder` (composed path) and sets the
// <FIELD>_SAVED fields. Returns the number of files that could not be saved (each
// is logged).
int save_uploads(Run& run, const std::string& folder);
