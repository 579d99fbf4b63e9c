// One newt window with its form, the building block of every terminal dialog: opened
// centred on construction, popped on destruction (so a window never outlives its scope).
// Escape and Enter are hotkeys of every form; pages decide what Enter means for the
// component that has the focus. Needs newt to be running (see NewtUi).
#pragma once

#include <newt.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

// Thrown by a page when the terminal stops delivering input (hang-up, end of input), so
// that the sequence does not wait or loop on a terminal nobody can answer.
class TerminalInputLost : public std::runtime_error {
 public:
  TerminalInputLost() : std::runtime_error("installer: the terminal gives no more input") {}
};
// Colour sets of our own, set up by NewtUi when newt starts.
inline constexpr int kGreyedColorset = NEWT_COLORSET_CUSTOM(0);   // disabled buttons
inline constexpr int kDisplayColorset = NEWT_COLORSET_CUSTOM(1);  // read-only value fields

// What ended one round of the form loop.
struct FormEvent {
  enum Kind { escape, enter, key, pressed, timer } kind = escape;
  int key_code = 0;                // for `key`: the hotkey pressed
  newtComponent target = nullptr;  // for `pressed`: the button; for `enter`: the focus
};

class NewtWindow {
 public:
  // Opens a window of `width` x `height` cells (inside the border) centred on the screen.
  NewtWindow(int width, int height, const std::string& title);
  ~NewtWindow();
  NewtWindow(const NewtWindow&) = delete;
  NewtWindow& operator=(const NewtWindow&) = delete;

  int width() const { return width_; }

  // Components are added in focus order and owned by the window from then on.
  newtComponent label(int left, int top, std::string_view text);
  // Several lines of read-only text in `width` cells; `scrolls` makes it take the focus and
  // scroll, with its scroll bar inside those cells.
  newtComponent text(int left, int top, int width, int height,
                     const std::vector<std::string>& lines, bool scrolls = false);
  // A push button showing `caption` without its shortcut marker; a disabled one is drawn
  // greyed and never takes the focus (the returned component is then no button).
  newtComponent button(int left, int top, std::string_view caption, bool enabled = true);
  newtComponent add(newtComponent component);

  void focus(newtComponent component);
  newtComponent focused() const;
  void add_hotkey(int key);
  // Makes run() return a `timer` event every `milliseconds` while no key arrives.
  void set_timer(int milliseconds);

  // Paints the window now, without waiting for input.
  void draw();

  // Runs the form until a button, Enter, Escape, another hotkey or the timer ends it.
  // Throws TerminalInputLost when the terminal gives no more input.
  FormEvent run();

 private:
  newtComponent form_;
  int width_;
};

}  // namespace installer
