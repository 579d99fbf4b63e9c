#include "installer/newt_window.h"

#include "installer/newt_text.h"

namespace installer {

NewtWindow::NewtWindow(int width, int height, const std::string& title)
    : form_(newtForm(nullptr, nullptr, NEWT_FLAG_NOF12)), width_(width) {
  newtCenteredWindow(static_cast<unsigned>(width), static_cast<unsigned>(height), title.c_str());
  newtFormAddHotKey(form_, NEWT_KEY_ESCAPE);
  newtFormAddHotKey(form_, NEWT_KEY_ENTER);
}

NewtWindow::~NewtWindow() {
  newtFormDestroy(form_);
  newtPopWindow();
}

newtComponent NewtWindow::add(newtComponent component) {
  newtFormAddComponent(form_, component);
  return component;
}

newtComponent NewtWindow::label(int left, int top, std::string_view text) {
  return add(newtLabel(left, top, std::string(text).c_str()));
}

newtComponent NewtWindow::text(int left, int top, int width, int height,
                               const std::vector<std::string>& lines, bool scrolls) {
  // A scrolling box draws its scroll bar in the two cells right of its text.
  int text_width = scrolls ? width - 2 : width;
  newtComponent box = newtTextbox(left, top, text_width, height, scrolls ? NEWT_FLAG_SCROLL : 0);
  newtTextboxSetText(box, join_lines(lines).c_str());
  return add(box);
}

newtComponent NewtWindow::button(int left, int top, std::string_view caption, bool enabled) {
  std::string shown = button_caption(caption);
  if (enabled) return add(newtCompactButton(left, top, shown.c_str()));
  newtComponent greyed = newtLabel(left + 1, top, ("<" + shown + ">").c_str());
  newtLabelSetColors(greyed, kGreyedColorset);
  return add(greyed);
}

void NewtWindow::focus(newtComponent component) { newtFormSetCurrent(form_, component); }

newtComponent NewtWindow::focused() const { return newtFormGetCurrent(form_); }

void NewtWindow::add_hotkey(int key) { newtFormAddHotKey(form_, key); }

void NewtWindow::set_timer(int milliseconds) { newtFormSetTimer(form_, milliseconds); }

void NewtWindow::draw() {
  newtDrawForm(form_);
  newtRefresh();
}

FormEvent NewtWindow::run() {
  newtExitStruct exit{};
  newtFormRun(form_, &exit);
  FormEvent event;
  switch (exit.reason) {
    case newtExitStruct::NEWT_EXIT_COMPONENT:
      event.kind = FormEvent::pressed;
      event.target = exit.u.co;
      break;
    case newtExitStruct::NEWT_EXIT_TIMER:
      event.kind = FormEvent::timer;
      break;
    case newtExitStruct::NEWT_EXIT_HOTKEY:
      event.kind = exit.u.key == NEWT_KEY_ESCAPE  ? FormEvent::escape
                   : exit.u.key == NEWT_KEY_ENTER ? FormEvent::enter
                                                  : FormEvent::key;
      event.key_code = exit.u.key;
      event.target = focused();
      break;
    default:
      throw TerminalInputLost();
  }
  return event;
}

}  // namespace installer
