// State of the progress window shown while the archives are extracted: status text, position
// and range of its bar, whether its animation plays, and the pauses that pace the display.
// The sequence creates it once per pass and the extraction updates it; every update is
// repainted at once through the InstallerUi.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "installer/installer_ui.h"

namespace installer {

struct ProgressPacing {
  std::chrono::milliseconds after_block{500};     // after each block's progress update
  std::chrono::milliseconds after_archive{1000};  // with "Done..." after each archive
};

class ProgressDialog {
 public:
  // Range 100, position 1, status "Initializing... Please wait...", animation playing.
  ProgressDialog(InstallerUi& ui, ProgressPacing pacing);

  const std::string& caption() const;  // "Extract"
  const std::string& status_text() const;
  int position() const;
  int range() const;
  bool animation_playing() const;
  const ProgressPacing& pacing() const;

  // Text replaces the status when given; a position or range of -1 keeps the held value.
  // Repaints the window at once.
  void update_progress(const std::optional<std::string>& text, int position, int range);

  // Sets the range without repainting; the next update shows it.
  void set_range(int range);

  void pause_after_block() const;
  void pause_after_archive() const;

 private:
  InstallerUi& ui_;
  ProgressPacing pacing_;
  std::string status_text_;
  int position_ = 1;
  int range_ = 100;
  bool animation_playing_ = true;
};

}  // namespace installer
