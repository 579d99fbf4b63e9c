// Step 12: the answer to a complete submission: the form's web template, a
// redirect, or the built-in confirmation page.
#pragma once

struct Run;

// Ends the run (throws RunEnded) on the template path; returns true otherwise.
bool write_response_page(Run& run);
