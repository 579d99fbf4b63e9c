// Every fixed text velloc shows a visitor, in English: the msgids of the message
// catalogues (velloc/language/). A text is named here once and used by the step or
// responder that shows it; `velloc --check` lists a catalogue's missing entries
// against kVisitorTexts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace text {

// Refusals (the page's text and the JSON "message").
inline constexpr char kRefusedReferer[] =
    "This request was submitted from a Form with Insufficent Permissions.";
inline constexpr char kRefusedRecipient[] = "Recipient Not Allowed!";
inline constexpr char kUnexpectedFailure[] = "Internal Error!";
inline constexpr char kTooLargeToDecode[] = "the request is too large to decode";
inline constexpr char kNoTempFile[] = "Could not Create Temporary File!";
inline constexpr char kNoMessageFile[] = "Could Not Open Message File (1)!";
inline constexpr char kNoPgpLog[] = "Could Not Open PGP Log File!";
inline constexpr char kSendFailed[] = "Error Sending Email!  Check log file for specific error!\n";
inline constexpr char kBodyNotWritten[] = "Could Not Write Message Body File!";
inline constexpr char kMissingTemplateUnreadable[] =
    "Could Not Open Required Fields Missing Template";
inline constexpr char kMissingFieldsHeading[] =
    "<P>Form entry not complete, the following required fields are "
    "incomplete:<P>\n";
inline constexpr char kUnknownForm[] = "Unknown Form!";
inline constexpr char kOriginNotAllowed[] = "Origin Not Allowed!";
inline constexpr char kNotARobot[] = "Please Confirm You Are Not a Robot!";
inline constexpr char kTooMany[] = "Too Many Submissions! Please try again later.";
inline constexpr char kNoReceiptNumber[] = "Receipt Number Not Available!";
inline constexpr char kFileNotAccepted[] = "File Not Accepted: ";
inline constexpr char kNotKept[] = "Submission Could Not Be Kept!";

// The pages' headings and fixed lines.
inline constexpr char kNotProcessed[] = "Form Was Not Processed";
inline constexpr char kInitFailure[] = "CGI Initialization Error";
inline constexpr char kTemplateNotFound[] = "Web Template File Not Found";
inline constexpr char kSentSuccessfully[] = "Form Sent Successfully";
inline constexpr char kInformationSent[] = "The Following Information Was Sent:";
inline constexpr char kBackToSite[] = "Back To Site";
inline constexpr char kNoFieldsPage[] =
    "This address is velloc, the handler of this site's forms. The request carried no "
    "form fields, so nothing was sent or kept.";
inline constexpr char kNoFieldsMessage[] =
    "The request carried no form fields; nothing was sent or kept.";
inline constexpr char kItsHealth[] = "Its health:";

// Confirmed sign-ups: the mail with the link, the page after the form, and the pages of
// the link.
inline constexpr char kConfirmSubject[] = "Please confirm your submission";
inline constexpr char kConfirmMailIntro[] =
    "Please open this link to confirm the form you sent:";
inline constexpr char kConfirmMailValid[] = "The link is valid until (UTC):";
inline constexpr char kConfirmMailIgnore[] =
    "If you did not send this form, ignore this mail: nothing is sent without your "
    "confirmation, and the submission is deleted.";
inline constexpr char kCheckYourMail[] = "Please Check Your Mail";
inline constexpr char kConfirmLinkSent[] =
    "We have mailed you a link to confirm your submission. It is sent once you open that link.";
inline constexpr char kConfirmed[] = "Thank you: your submission is confirmed.";
inline constexpr char kConfirmLinkInvalid[] = "This confirmation link is not valid.";
inline constexpr char kConfirmLinkExpired[] = "This confirmation link has expired.";
inline constexpr char kConfirmLinkUsed[] = "This submission was confirmed already.";

}  // namespace text

// Every text above, in one list.
const std::vector<std::string_view>& visitor_texts();

class MessageCatalogue;

// A refusal's message as the visitor reads it in `catalogue` (null: English): a fixed
// text translated whole, or one that heads request text (kFileNotAccepted,
// kMissingFieldsHeading) translated before that text, which stays as it is.
std::string localised_message(const MessageCatalogue* catalogue, std::string_view message);
