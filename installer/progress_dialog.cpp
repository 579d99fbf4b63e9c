#include "installer/progress_dialog.h"

#include <thread>

namespace installer {

namespace {

const std::string kCaption = "Extract";

void pause_for(std::chrono::milliseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

}  // namespace

ProgressDialog::ProgressDialog(InstallerUi& ui, ProgressPacing pacing)
    : ui_(ui), pacing_(pacing), status_text_("Initializing... Please wait...") {}

const std::string& ProgressDialog::caption() const { return kCaption; }
const std::string& ProgressDialog::status_text() const { return status_text_; }
int ProgressDialog::position() const { return position_; }
int ProgressDialog::range() const { return range_; }
bool ProgressDialog::animation_playing() const { return animation_playing_; }
const ProgressPacing& ProgressDialog::pacing() const { return pacing_; }

void ProgressDialog::update_progress(const std::optional<std::string>& text, int position,
                                     int range) {
  if (text) status_text_ = *text;
  if (position != -1) position_ = position;
  if (range != -1) range_ = range;
  ui_.draw_progress(*this);
}

void ProgressDialog::set_range(int range) { range_ = range; }

void ProgressDialog::pause_after_block() const { pause_for(pacing_.after_block); }
void ProgressDialog::pause_after_archive() const { pause_for(pacing_.after_archive); }

}  // namespace installer
