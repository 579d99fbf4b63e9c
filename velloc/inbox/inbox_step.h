// The site owner's inbox as a step of the run: with Inbox=1 in the settings file,
// a request whose PATH_INFO is the inbox's is answered by the inbox instead of
// the form pipeline. The step checks who asks (inbox_access.h), reads what it
// shows from the archive, runs the actions the owner posts, and ends the run
// with what it decided; the inbox responder writes it.
#pragma once

#include <string>

struct Run;

// Ends the run (RunEnded with an Answer of kind kInbox) for an inbox request;
// any other request passes. Reads only the settings file's [Velloc] section, so a
// form profile never turns the inbox on. `settings_file` empty: no inbox.
void answer_inbox_request(Run& run, const std::string& settings_file);
