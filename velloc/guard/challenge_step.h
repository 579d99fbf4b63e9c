// The proof-of-work challenge of a form (Challenge=altcha in its profile or in
// [Velloc], with ChallengeKey, ChallengeMaxNumber and ChallengeExpires): the
// challenges handed out, and the check of a submission's solution, each solution
// accepted once through the state store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/answer.h"
#include "velloc/guard/robot_settings.h"
#include "velloc/language/visitor_texts.h"

struct Run;

inline constexpr char kSolutionField[] = "altcha";
// The page of every refusal of a robot check: the challenge and the captcha.
using text::kNotARobot;

// The challenge room: the router sends a GET with PATH_INFO "/challenge" here once the
// form's settings are loaded and its referer and origin checked. Answers with a new
// challenge, or ends the run with the refusal when the form's challenge cannot be
// turned on.
Answer issue_challenge(Run& run);

// Step after the honeypot: a form with a challenge must carry a solution that
// checks and was not used before; otherwise the run ends with "Please Confirm You
// Are Not a Robot!" and a log line naming the check that failed. The solution
// field is then removed, so that the listings do not show it.
void check_challenge(Run& run);

// Drops field `name` (a challenge's solution, a captcha's token) once checked, from
// the run's fields and from the visitor's as the archive keeps them: it is no
// visitor's data, and no mail, record or webhook carries it.
void drop_checked_field(Run& run, std::string_view name);
