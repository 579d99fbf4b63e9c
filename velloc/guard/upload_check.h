// The step that refuses unwanted uploads before anything is stored or sent: each
// file of the request is judged by the upload policy against the upload settings,
// and the first refused one ends the run with "File Not Accepted: <shown name>".
#pragma once

struct Run;

void check_uploads(Run& run);
