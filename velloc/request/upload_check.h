// The step that refuses unwanted uploads before anything is stored or sent: each
// file of the request is judged by the upload policy against the upload settings,
// and the first refused one ends the run with "File Not Accepted: <shown name>".
#pragma once

#include <string>
#include <string_view>

struct Run;

// An upload setting (MaxUploadSize, MaxUploads, UploadTypes) as it applies to this
// run, from its form profile or else the site's settings; empty when it is not set.
std::string upload_setting(const Run& run, std::string_view key);

void check_uploads(Run& run);
