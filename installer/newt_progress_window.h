// The progress window of the terminal dialogs: the animation line, the status text, the bar
// and a Cancel button that nothing listens to (the extraction runs on the one thread and
// takes no input meanwhile). Open from construction to destruction; every draw advances the
// animation by one frame while it plays and repaints at once. Needs newt to be running.
#pragma once

#include <newt.h>

#include <cstddef>

#include "installer/newt_window.h"

namespace installer {

class ProgressDialog;

class NewtProgressWindow {
 public:
  explicit NewtProgressWindow(const ProgressDialog& dialog);
  void draw(const ProgressDialog& dialog);

 private:
  NewtWindow window_;
  std::size_t frame_ = 0;
  newtComponent animation_ = nullptr;
  newtComponent status_ = nullptr;
  newtComponent bar_ = nullptr;
};

}  // namespace installer
