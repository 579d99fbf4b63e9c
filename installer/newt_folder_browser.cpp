// The folder browser of NewtUi: the sub-folders of one folder in a list (".." leads up,
// Enter goes in), an entry for typing a path, and a status line with the full path of the
// selected folder. Nothing is selected until the user moves in the list, goes into a folder
// or types; OK confirms only an existing folder.
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "installer/folder_listing.h"
#include "installer/newt_text.h"
#include "installer/newt_ui.h"
#include "installer/newt_window.h"

namespace installer {

namespace {

constexpr int kWidth = 64;
constexpr int kInner = kWidth - 2;
constexpr int kListRows = 8;
constexpr int kTimerMs = 50;
constexpr char kTitle[] = "Browse for Folder";
constexpr char kFolderLabel[] = "Folder:";
constexpr char kNoSuchFolder[] = "Not a folder: ";
constexpr char kNothingSelected[] = "Select a folder or type its path.";

std::string working_directory() {
  std::vector<char> buffer(4096);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return "/";
  return buffer.data();
}

std::string home_directory() {
  const char* home = std::getenv("HOME");
  return home != nullptr && *home != '\0' ? home : "/";
}

class FolderBrowser {
 public:
  explicit FolderBrowser(const std::string& prompt)
      : prompt_lines_(wrap_lines(prompt, kInner)),
        window_(kWidth, count_prompt() + kListRows + 7, kTitle),
        folder_(working_directory()),
        home_(home_directory()) {
    window_.text(1, 0, kInner, count_prompt(), prompt_lines_);
    int top = count_prompt() + 1;
    looking_in_ = window_.label(1, top, std::string(kInner, ' '));
    list_ = window_.add(newtListbox(1, top + 1, kListRows, NEWT_FLAG_SCROLL | NEWT_FLAG_BORDER));
    newtListboxSetWidth(list_, kInner);
    top += kListRows + 2;
    window_.label(1, top, kFolderLabel);
    entry_ = window_.add(newtEntry(9, top, "", kInner - 8, nullptr, NEWT_FLAG_SCROLL));
    status_ = window_.label(1, top + 1, std::string(kInner, ' '));
    std::vector<std::string> texts = {"OK", "Cancel"};
    std::vector<int> columns = centred_button_columns(texts, kWidth);
    ok_ = window_.button(columns[0], top + 3, texts[0]);
    cancel_ = window_.button(columns[1], top + 3, texts[1]);
    show_folder();
    window_.focus(list_);
    window_.set_timer(kTimerMs);
  }

  std::optional<std::string> run() {
    for (;;) {
      FormEvent event = window_.run();
      follow_user();
      if (event.kind == FormEvent::escape) return std::nullopt;
      if (event.kind == FormEvent::timer || event.kind == FormEvent::key) continue;
      if (event.target == cancel_) return std::nullopt;
      if (event.kind == FormEvent::enter && event.target == list_) {
        go_into(current_entry());
        continue;
      }
      if (event.target == ok_ || event.kind == FormEvent::enter) {
        if (std::optional<std::string> chosen = confirm()) return chosen;
      }
    }
  }

 private:
  int count_prompt() const { return static_cast<int>(prompt_lines_.size()); }

  void show_folder() {
    names_ = list_subfolders(folder_);
    newtListboxClear(list_);
    for (std::size_t i = 0; i < names_.size(); ++i) {
      std::string shown = names_[i] == kParentEntry ? names_[i] : names_[i] + "/";
      newtListboxAppendEntry(list_, shown.c_str(), reinterpret_cast<void*>(i + 1));
    }
    last_entry_ = current_entry();
    newtLabelSetText(looking_in_, pad_right(fit_path(folder_, kInner), kInner).c_str());
  }

  std::size_t current_entry() const {
    return reinterpret_cast<std::size_t>(newtListboxGetCurrent(list_));
  }

  void go_into(std::size_t entry) {
    if (entry == 0 || entry > names_.size()) return;
    folder_ = enter_folder(folder_, names_[entry - 1]);
    show_folder();
    select(folder_);
  }

  // Moving in the list selects the entry under the cursor; typing selects the typed path.
  void follow_user() {
    std::size_t entry = current_entry();
    if (entry != last_entry_ && entry != 0) {
      last_entry_ = entry;
      select(enter_folder(folder_, names_[entry - 1]));
    }
    std::string typed = newtEntryGetValue(entry_);
    if (typed != last_typed_) {
      last_typed_ = typed;
      if (std::optional<std::string> folder = typed_folder(folder_, typed, home_)) select(*folder);
    }
  }

  void select(const std::string& folder) {
    selected_ = folder;
    set_status(folder);
  }

  std::optional<std::string> confirm() {
    if (!selected_) {
      set_status(kNothingSelected);
    } else if (!is_folder(*selected_)) {
      set_status(kNoSuchFolder + *selected_);
    } else {
      return selected_;
    }
    newtBell();
    return std::nullopt;
  }

  void set_status(const std::string& text) {
    newtLabelSetText(status_, pad_right(fit_path(text, kInner), kInner).c_str());
  }

  std::vector<std::string> prompt_lines_;
  NewtWindow window_;
  std::string folder_;  // the folder listed
  std::string home_;
  std::vector<std::string> names_;
  std::optional<std::string> selected_;
  std::size_t last_entry_ = 0;
  std::string last_typed_;
  newtComponent looking_in_ = nullptr;
  newtComponent list_ = nullptr;
  newtComponent entry_ = nullptr;
  newtComponent status_ = nullptr;
  newtComponent ok_ = nullptr;
  newtComponent cancel_ = nullptr;
};

}  // namespace

std::optional<std::string> NewtUi::browse_for_folder(const std::string& prompt) {
  FolderBrowser browser(prompt);
  return browser.run();
}

}  // namespace installer
