#include "velloc/language/visitor_texts.h"

#include "velloc/language/message_catalogue.h"
#include "velloc/rules/validation_messages.h"

const std::vector<std::string_view>& visitor_texts() {
  // Built once, never changed: a constant table.
  static const std::vector<std::string_view> kTexts = [] {
    std::vector<std::string_view> texts = {
        text::kRefusedReferer,
        text::kRefusedRecipient,
        text::kUnexpectedFailure,
        text::kTooLargeToDecode,
        text::kNoTempFile,
        text::kNoMessageFile,
        text::kNoPgpLog,
        text::kSendFailed,
        text::kBodyNotWritten,
        text::kMissingTemplateUnreadable,
        text::kMissingFieldsHeading,
        text::kUnknownForm,
        text::kOriginNotAllowed,
        text::kNotARobot,
        text::kTooMany,
        text::kNoReceiptNumber,
        text::kFileNotAccepted,
        text::kNotKept,
        text::kNotProcessed,
        text::kInitFailure,
        text::kTemplateNotFound,
        text::kSentSuccessfully,
        text::kInformationSent,
        text::kBackToSite,
        text::kNoFieldsPage,
        text::kNoFieldsMessage,
        text::kItsHealth,
        text::kConfirmSubject,
        text::kConfirmMailIntro,
        text::kConfirmMailValid,
        text::kConfirmMailIgnore,
        text::kCheckYourMail,
        text::kConfirmLinkSent,
        text::kConfirmed,
        text::kConfirmLinkInvalid,
        text::kConfirmLinkExpired,
        text::kConfirmLinkUsed,
    };
    for (std::string_view check : validation_message_texts()) texts.push_back(check);
    return texts;
  }();
  return kTexts;
}

std::string localised_message(const MessageCatalogue* catalogue, std::string_view message) {
  if (!catalogue) return std::string(message);
  if (const std::string* whole = catalogue->find(message)) return *whole;
  for (std::string_view head :
       {std::string_view(text::kFileNotAccepted), std::string_view(text::kMissingFieldsHeading)}) {
    if (message.starts_with(head))
      return std::string(translate(catalogue, head)) + std::string(message.substr(head.size()));
  }
  return std::string(message);
}
