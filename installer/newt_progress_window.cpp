#include "installer/newt_progress_window.h"

#include <string>

#include "installer/newt_text.h"
#include "installer/progress_dialog.h"

namespace installer {

namespace {

constexpr int kWidth = 62;
constexpr int kStatusRows = 3;
constexpr int kBarWidth = 44;
constexpr long long kBarFull = 1000;

}  // namespace

NewtProgressWindow::NewtProgressWindow(const ProgressDialog& dialog)
    : window_(kWidth, kStatusRows + 4, dialog.caption()) {
  int animation_left = (kWidth - static_cast<int>(kAnimationWidth)) / 2;
  animation_ = window_.label(animation_left, 0, animation_frame(frame_));
  status_ = window_.text(1, 2, kWidth - 2, kStatusRows, {});
  bar_ = window_.add(newtScale(1, kStatusRows + 3, kBarWidth, kBarFull));
  window_.button(kBarWidth + 5, kStatusRows + 3, "&Cancel");
}

void NewtProgressWindow::draw(const ProgressDialog& dialog) {
  if (dialog.animation_playing()) ++frame_;
  newtLabelSetText(animation_, animation_frame(frame_).c_str());
  newtTextboxSetText(status_, join_lines(wrap_lines(dialog.status_text(), kWidth - 2)).c_str());
  newtScaleSet(
      bar_, static_cast<unsigned long long>(bar_fill(dialog.position(), dialog.range(), kBarFull)));
  window_.draw();
}

}  // namespace installer
