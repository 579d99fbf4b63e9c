// The site owner's inbox, a room of its own: with Inbox=1 in the settings file, the
// router (velloc/router.h) sends a request whose PATH_INFO is the inbox's here instead
// of to the form. The room checks who asks (inbox_access.h), reads what it
// shows from the archive, runs the actions the owner posts, and ends the run
// with what it decided; the inbox responder writes it.
#pragma once

#include <string>

#include "velloc/answer.h"

struct Run;

// The answer (of kind kInbox) to a request the router sent to the inbox. Reads only
// the settings file's [Velloc] section, so a form profile never turns the inbox on.
Answer answer_inbox(Run& run, const std::string& settings_file);
