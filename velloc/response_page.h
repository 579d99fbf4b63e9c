// Step 12: the answer to a complete submission: the form's web template, a
// redirect, or the built-in confirmation page.
#pragma once

#include "velloc/answer.h"

struct Run;

Answer decide_response_page(Run& run);
