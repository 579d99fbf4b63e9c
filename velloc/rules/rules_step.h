// The steps that act on a form profile's rules (form_rules.h): the field checks,
// which refuse a submission before anything is stored or sent, and the routing and
// conditional actions, which run after the robot and spam checks. Each asks the pure
// decision of form_rules and applies it to the run; a profile without rules changes
// nothing.
#pragma once

struct Run;

// Refuses the submission (422 in JSON, the missing-fields page in HTML) when a field
// fails its check; returns otherwise.
void check_field_rules(Run& run);

// Sends the form mail to the routed recipients (ending the run when one is not
// allowed), and applies the actions of the rules that match: the receipt left out,
// other templates, further webhooks, tags.
void apply_form_rules(Run& run);
