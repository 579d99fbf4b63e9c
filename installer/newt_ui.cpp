#include "installer/newt_ui.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "installer/directory_dialog.h"
#include "installer/folder_listing.h"
#include "installer/newt_text.h"
#include "installer/newt_window.h"
#include "installer/progress_dialog.h"
#include "installer/readme_viewer.h"
#include "installer/settings_dialog.h"
#include "platform/path_map.h"

namespace installer {

namespace {

constexpr char kLicenceIntro[] =
    "Please read the following license agreement.  Use the \"PAGE DOWN\" key  to see the rest "
    "of the agreement.";
constexpr char kLicenceQuestion[] =
    "Do you accept all of the terms of the preceding License Agreement? If you choose No, "
    "Install will close. To install you must accept this agreement.";
constexpr char kProgramDirectoryLabel[] = "Executables/Documentation Directory:";
constexpr char kSamplesDirectoryLabel[] = "Samples Directory:";
constexpr char kChoose[] = "Choose..";
constexpr char kHelpLine[] = " <Tab> next item  |  <Enter> choose  |  <Esc> cancel";

int screen_rows() {
  int cols = 0;
  int rows = 0;
  newtGetScreenSize(&cols, &rows);
  return rows;
}

int count(const std::vector<std::string>& lines) { return static_cast<int>(lines.size()); }

// Adds one button per text in a row at `top`, centred or flush right like the page
// templates; `enabled[i]` false draws button i greyed.
std::vector<newtComponent> add_buttons(NewtWindow& window, int top,
                                       const std::vector<std::string>& texts, bool flush_right,
                                       const std::vector<bool>& enabled = {}) {
  std::vector<int> columns = centred_button_columns(texts, window.width());
  if (flush_right) {
    int shift = window.width() - 1 - (columns.back() + button_width(texts.back()));
    for (int& column : columns) column += shift;
  }
  std::vector<newtComponent> buttons;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    bool on = i >= enabled.size() || enabled[i];
    buttons.push_back(window.button(columns[i], top, texts[i], on));
  }
  return buttons;
}

// Runs a page whose only choices are its buttons until one is taken. Enter takes the
// focused button, elsewhere `default_index`; Escape takes `escape_index`; a shortcut letter
// takes its button. Returns the index.
std::size_t run_choice(NewtWindow& window, const std::vector<newtComponent>& buttons,
                       const std::vector<std::string>& texts, std::size_t default_index,
                       std::size_t escape_index) {
  for (const std::string& text : texts) {
    if (char letter = button_shortcut(text)) {
      window.add_hotkey(letter);
      window.add_hotkey(letter - 'a' + 'A');
    }
  }
  for (;;) {
    FormEvent event = window.run();
    if (event.kind == FormEvent::escape) return escape_index;
    bool takes_target = event.kind == FormEvent::pressed || event.kind == FormEvent::enter;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      int key = event.key_code | 0x20;
      if (event.kind == FormEvent::key && key == button_shortcut(texts[i])) return i;
      if (takes_target && event.target == buttons[i]) return i;
    }
    if (event.kind == FormEvent::enter) return default_index;
  }
}

// The directory page's window; rebuilt after every "Choose.." to show the new values.
class DirectoryPage {
 public:
  DirectoryPage(const DirectoryDialog& dialog, bool focus_continue)
      : window_(74, 15, dialog.caption()) {
    window_.text(1, 0, 72, 7, wrap_lines(dialog.explanatory_text(), 70), true);
    choose_program_ = add_directory(8, kProgramDirectoryLabel, dialog.program_directory());
    choose_samples_ = add_directory(11, kSamplesDirectoryLabel, dialog.samples_directory());
    std::vector<newtComponent> buttons =
        add_buttons(window_, 14, {"Continue", "Exit"}, true, {dialog.continue_enabled(), true});
    continue_ = dialog.continue_enabled() ? buttons[0] : nullptr;
    exit_ = buttons[1];
    window_.focus(focus_continue && continue_ ? continue_ : choose_program_);
  }

  enum class Action { choose_program, choose_samples, continue_install, exit };

  Action run() {
    for (;;) {
      FormEvent event = window_.run();
      if (event.kind == FormEvent::escape) return Action::exit;
      newtComponent target = event.target;
      if (event.kind == FormEvent::enter && !is_button(target)) target = continue_;
      if (event.kind == FormEvent::timer || event.kind == FormEvent::key) continue;
      if (target == nullptr) newtBell();
      if (target == choose_program_) return Action::choose_program;
      if (target == choose_samples_) return Action::choose_samples;
      if (target == exit_) return Action::exit;
      if (target != nullptr && target == continue_) return Action::continue_install;
    }
  }

 private:
  newtComponent add_directory(int top, const char* caption, const std::string& directory) {
    window_.label(2, top, caption);
    newtComponent display = window_.label(2, top + 1, pad_right(fit_path(directory, 56), 56));
    newtLabelSetColors(display, kDisplayColorset);
    return window_.button(61, top + 1, kChoose);
  }

  bool is_button(newtComponent target) const {
    return target != nullptr && (target == choose_program_ || target == choose_samples_ ||
                                 target == continue_ || target == exit_);
  }

  NewtWindow window_;
  newtComponent choose_program_ = nullptr;
  newtComponent choose_samples_ = nullptr;
  newtComponent continue_ = nullptr;  // null while Continue is disabled
  newtComponent exit_ = nullptr;
};

}  // namespace

NewtUi::NewtUi() {
  if (newtInit() != 0) throw std::runtime_error("installer: cannot start the terminal dialogs");
  screen_active_ = true;
  newtSetColor(kGreyedColorset, const_cast<char*>("gray"), const_cast<char*>("lightgray"));
  newtSetColor(kDisplayColorset, const_cast<char*>("black"), const_cast<char*>("white"));
  newtCls();
  newtPushHelpLine(kHelpLine);
  newtRefresh();
}

NewtUi::~NewtUi() { end_screen(); }

void NewtUi::end_screen() {
  progress_.reset();
  if (!screen_active_) return;
  newtFinished();
  screen_active_ = false;
}

bool NewtUi::show_message(const Message& message) {
  std::vector<std::string> lines = wrap_lines(message.text, 66);
  std::string icon = icon_word(message.icon);
  std::vector<std::string> texts = message_button_texts(message.buttons);
  int text_left = icon.empty() ? 1 : 6;
  int text_width = 1;
  for (const std::string& line : lines) text_width = std::max<int>(text_width, display_width(line));
  int width =
      std::max({text_left + text_width + 1, static_cast<int>(display_width(message.caption)) + 4,
                button_row_width(texts) + 4});
  int rows = std::max(count(lines), 1);
  NewtWindow window(width, rows + 2, message.caption);
  if (!icon.empty()) window.label(1, 0, icon);
  window.text(text_left, 0, text_width, rows, lines);
  std::vector<newtComponent> buttons = add_buttons(window, rows + 1, texts, false);
  window.focus(buttons.front());
  std::size_t taken = run_choice(window, buttons, texts, 0, buttons.size() - 1);
  return taken == 0;
}

bool NewtUi::show_licence(const std::string& caption, const std::string& agreement) {
  const int width = 62;
  const int inner = width - 2;
  std::vector<std::string> intro = wrap_lines(kLicenceIntro, inner);
  std::vector<std::string> question = wrap_lines(kLicenceQuestion, inner);
  int text_rows = std::clamp(screen_rows() - 10 - count(intro) - count(question), 3, 13);
  NewtWindow window(width, count(intro) + text_rows + count(question) + 4, caption);
  window.text(1, 0, inner, count(intro), intro);
  int top = count(intro) + 1;
  newtComponent text =
      window.text(1, top, inner, text_rows, wrap_lines(agreement, inner - 2), true);
  top += text_rows + 1;
  window.text(1, top, inner, count(question), question);
  std::vector<std::string> texts = {"&Yes", "&No"};
  std::vector<newtComponent> buttons = add_buttons(window, top + count(question) + 1, texts, true);
  window.focus(text);
  return run_choice(window, buttons, texts, 0, 1) == 0;
}

DirectoryPageResult NewtUi::show_directory_page(DirectoryDialog& dialog) {
  bool focus_continue = false;
  for (;;) {
    DirectoryPage page(dialog, focus_continue);
    switch (page.run()) {
      case DirectoryPage::Action::continue_install:
        return DirectoryPageResult::continue_install;
      case DirectoryPage::Action::exit:
        return DirectoryPageResult::exit;
      case DirectoryPage::Action::choose_program:
        dialog.choose_program_directory(*this);
        break;
      case DirectoryPage::Action::choose_samples:
        dialog.choose_samples_directory(*this);
        break;
    }
    focus_continue = true;
  }
}

void NewtUi::show_progress(const ProgressDialog& dialog) {
  if (!progress_) progress_ = std::make_unique<NewtProgressWindow>(dialog);
  progress_->draw(dialog);
}

void NewtUi::draw_progress(const ProgressDialog& dialog) {
  if (progress_) progress_->draw(dialog);
}

void NewtUi::hide_progress() {
  progress_.reset();
  newtRefresh();
}

void NewtUi::destroy_progress() { hide_progress(); }

void NewtUi::open_readme(const std::string& path) {
  end_screen();
  run_readme_viewer(readme_viewer_command(std::getenv("VISUAL"), std::getenv("EDITOR"),
                                          platform::native_path(path)));
}

void NewtUi::note_reason(const std::string& reason) { notes_.push_back(reason); }

}  // namespace installer
