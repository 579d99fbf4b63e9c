// The settings page of NewtUi: two entries that report every change to the SettingsDialog,
// a help area that follows the focus and an OK button that is greyed while the dialog says
// so. newt cannot grey a button in place, so the window is rebuilt (texts, cursors and focus
// kept) whenever OK changes between enabled and disabled.
#include <optional>
#include <string>
#include <vector>

#include "installer/newt_text.h"
#include "installer/newt_ui.h"
#include "installer/newt_window.h"
#include "installer/settings_dialog.h"

namespace installer {

namespace {

constexpr char kSettingsIntro[] =
    "To complete installation, fill in the following to create the .INI file.";
constexpr char kSmtpLabel[] = "SMTP Server";
constexpr char kRecipientLabel[] = "Default Receipient's E-Mail Address";
constexpr int kWidth = 75;
constexpr int kLabelEnd = 37;  // the labels end here, right-aligned; the entries follow
constexpr int kEntryWidth = 34;
constexpr int kHelpRows = 5;
constexpr int kTimerMs = 50;

enum class Spot { smtp, recipient, ok, cancel };

// What carries over when the window is rebuilt.
struct PageMemory {
  Spot focus = Spot::smtp;
  int smtp_cursor = 0;
  int recipient_cursor = 0;
};

class SettingsPage {
 public:
  SettingsPage(const SettingsDialog& dialog, const PageMemory& memory)
      : window_(kWidth, 13, dialog.caption()), ok_shown_(dialog.ok_enabled()) {
    window_.label(1, 0, kSettingsIntro);
    smtp_ = add_field(2, kSmtpLabel, dialog.smtp_server(), memory.smtp_cursor);
    recipient_ = add_field(4, kRecipientLabel, dialog.default_recipient(), memory.recipient_cursor);
    help_text_ = dialog.help_text();
    help_ = window_.text(1, 6, kWidth - 2, kHelpRows, wrap_lines(help_text_, kWidth - 2));
    std::vector<newtComponent> buttons = add_buttons({"&OK", "&Cancel"}, {ok_shown_, true});
    ok_ = ok_shown_ ? buttons[0] : nullptr;
    cancel_ = buttons[1];
    window_.focus(component(memory.focus) ? component(memory.focus) : smtp_);
    window_.set_timer(kTimerMs);
  }

  // The page's result, or nothing when the window must be rebuilt; `memory` then holds
  // what the new window starts with.
  std::optional<SettingsPageResult> run(SettingsDialog& dialog, PageMemory& memory) {
    for (;;) {
      FormEvent event = window_.run();
      sync(dialog);
      if (event.kind == FormEvent::escape) return SettingsPageResult::cancel;
      newtComponent target = event.kind == FormEvent::timer ? nullptr : event.target;
      if (target != nullptr && target == cancel_) return SettingsPageResult::cancel;
      // Enter in a field means OK; the dialog decides, since the window may not show a
      // change of the rule yet.
      bool wants_ok = (target != nullptr && target == ok_) ||
                      (event.kind == FormEvent::enter && (target == smtp_ || target == recipient_));
      if (wants_ok && dialog.ok_enabled()) return SettingsPageResult::ok;
      if (wants_ok || event.kind == FormEvent::enter) newtBell();
      if (dialog.ok_enabled() != ok_shown_) {
        memory = remember();
        return std::nullopt;
      }
    }
  }

 private:
  newtComponent add_field(int top, const char* caption, const std::string& text, int cursor) {
    int left = kLabelEnd - static_cast<int>(display_width(caption));
    window_.label(left, top, caption);
    newtComponent entry = window_.add(
        newtEntry(kLabelEnd + 2, top, text.c_str(), kEntryWidth, nullptr, NEWT_FLAG_SCROLL));
    newtEntrySetCursorPosition(entry, cursor);
    return entry;
  }

  std::vector<newtComponent> add_buttons(const std::vector<std::string>& texts,
                                         const std::vector<bool>& enabled) {
    std::vector<int> columns = centred_button_columns(texts, kWidth);
    std::vector<newtComponent> buttons;
    for (std::size_t i = 0; i < texts.size(); ++i)
      buttons.push_back(window_.button(columns[i], 12, texts[i], enabled[i]));
    return buttons;
  }

  // Hands the entries' texts and the focus to the dialog and shows its help text.
  void sync(SettingsDialog& dialog) {
    std::string smtp = newtEntryGetValue(smtp_);
    std::string recipient = newtEntryGetValue(recipient_);
    if (smtp != dialog.smtp_server()) dialog.set_smtp_server(smtp);
    if (recipient != dialog.default_recipient()) dialog.set_default_recipient(recipient);
    newtComponent focused = window_.focused();
    if (focused == smtp_) dialog.focus(SettingsField::smtp_server);
    if (focused == recipient_) dialog.focus(SettingsField::default_recipient);
    if (dialog.help_text() != help_text_) {
      help_text_ = dialog.help_text();
      newtTextboxSetText(help_, join_lines(wrap_lines(help_text_, kWidth - 2)).c_str());
    }
  }

  PageMemory remember() const {
    PageMemory memory;
    for (Spot spot : {Spot::smtp, Spot::recipient, Spot::ok, Spot::cancel})
      if (component(spot) != nullptr && component(spot) == window_.focused()) memory.focus = spot;
    memory.smtp_cursor = newtEntryGetCursorPosition(smtp_);
    memory.recipient_cursor = newtEntryGetCursorPosition(recipient_);
    return memory;
  }

  newtComponent component(Spot spot) const {
    switch (spot) {
      case Spot::smtp:
        return smtp_;
      case Spot::recipient:
        return recipient_;
      case Spot::ok:
        return ok_;
      case Spot::cancel:
        return cancel_;
    }
    return nullptr;
  }

  NewtWindow window_;
  bool ok_shown_;
  std::string help_text_;
  newtComponent smtp_ = nullptr;
  newtComponent recipient_ = nullptr;
  newtComponent help_ = nullptr;
  newtComponent ok_ = nullptr;  // null while OK is disabled
  newtComponent cancel_ = nullptr;
};

PageMemory initial_memory(const SettingsDialog& dialog) {
  PageMemory memory;
  memory.focus = dialog.focused() == SettingsField::smtp_server ? Spot::smtp : Spot::recipient;
  memory.smtp_cursor = static_cast<int>(dialog.smtp_server().size());
  memory.recipient_cursor = static_cast<int>(dialog.default_recipient().size());
  return memory;
}

}  // namespace

SettingsPageResult NewtUi::show_settings_page(SettingsDialog& dialog) {
  PageMemory memory = initial_memory(dialog);
  for (;;) {
    SettingsPage page(dialog, memory);
    if (std::optional<SettingsPageResult> result = page.run(dialog, memory)) return *result;
  }
}

}  // namespace installer
