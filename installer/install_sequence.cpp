#include "installer/install_sequence.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "installer/cabinet_extraction.h"
#include "installer/directory_dialog.h"
#include "installer/install_directories.h"
#include "installer/licence.h"
#include "installer/messages.h"
#include "installer/running_server.h"
#include "installer/settings_check_run.h"
#include "installer/settings_dialog.h"
#include "installer/settings_writer.h"
#include "platform/path_map.h"

namespace installer {

namespace {

constexpr std::chrono::seconds kSettingsCheckTimeLimit(30);

enum class State {
  ask,
  licence,
  directories,
  confirm_exit,
  make_program,
  extract_main,
  make_samples,
  extract_samples,
  settings,
  unfinished,
  finish,
  end
};

std::optional<unsigned long> query_system_version() {
  utsname name;
  if (uname(&name) != 0) return static_cast<unsigned long>(errno);
  return std::nullopt;
}

std::string own_program_path() {
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return "";
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::string current_directory() {
  std::vector<char> buffer(4096);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return "";
  return buffer.data();
}

// One run of the sequence; each state's step returns the next state.
class InstallSequence {
 public:
  InstallSequence(InstallerUi& ui, const InstallOptions& options)
      : ui_(ui),
        options_(options),
        licence_text_(prepared_licence_text()),
        directories_(options.fallback_folder) {}

  bool run();

 private:
  State step(State state);
  State show_directory_page();
  State extract(const std::string& archive, State next);
  bool archive_present(const std::string& archive) const;
  State make_samples();
  State show_settings_page();
  void destroy_progress();

  InstallerUi& ui_;
  const InstallOptions& options_;
  std::string licence_text_;
  DirectoryDialog directories_;
  std::unique_ptr<ProgressDialog> progress_;
  // The directory into which the next archive is extracted.
  std::string destination_;
  // The archives of this pass that could not be installed completely.
  std::vector<FailedArchive> failed_archives_;
  SettingsOutcome settings_;
  bool finished_ = false;
};

bool InstallSequence::run() {
  if (options_.query_version) {
    if (std::optional<unsigned long> error = options_.query_version())
      ui_.show_message(version_error_message(*error));
  }
  State state = State::ask;
  while (state != State::end) state = step(state);
  destroy_progress();
  return finished_;
}

State InstallSequence::step(State state) {
  switch (state) {
    case State::ask:
      return ui_.show_message(unarchive_question()) ? State::licence : State::end;
    case State::licence:
      return ui_.show_licence(std::string(kLicenceCaption), licence_text_) ? State::directories
                                                                           : State::end;
    case State::directories:
      return show_directory_page();
    case State::confirm_exit:
      return ui_.show_message(exit_setup_question()) ? State::end : State::directories;
    case State::make_program:
      destination_ = directories_.program_directory();
      return prepare_program_directory(ui_, destination_) ? State::extract_main
                                                          : State::directories;
    case State::extract_main:
      failed_archives_.clear();
      destroy_progress();
      progress_ = std::make_unique<ProgressDialog>(ui_, options_.pacing);
      return extract(std::string(kMainArchive), State::make_samples);
    case State::make_samples:
      return make_samples();
    case State::extract_samples:
      return extract(std::string(kSamplesArchive), State::settings);
    case State::settings:
      return show_settings_page();
    case State::unfinished:
      ui_.show_message(setup_unfinished_message());
      return State::end;
    case State::finish:
      finish_installation(ui_, directories_.program_directory(), failed_archives_, settings_,
                          options_.check_settings
                              ? options_.check_settings(directories_.program_directory())
                              : std::vector<std::string>{});
      finished_ = failed_archives_.empty();
      return State::end;
    case State::end:
      break;
  }
  return State::end;
}

State InstallSequence::show_directory_page() {
  directories_.page_opened();
  DirectoryPageResult result = ui_.show_directory_page(directories_);
  return result == DirectoryPageResult::continue_install ? State::make_program
                                                         : State::confirm_exit;
}

// The result of an extraction does not change the course of the sequence, only the message
// at its end. A samples archive that is not there at all is no failure.
State InstallSequence::extract(const std::string& archive, State next) {
  ui_.show_progress(*progress_);
  std::string refusal;
  bool complete = extract_cabinet(archive, options_.installer_directory, destination_, *progress_,
                                  ui_, &refusal);
  if (!complete && (archive == kMainArchive || archive_present(archive)))
    failed_archives_.push_back({archive, refusal});
  // A persistent server running the program just replaced starts the new one.
  if (complete && archive == kMainArchive) {
    std::string told = restart_running_servers(destination_);
    if (!told.empty()) ui_.note_reason(told);
  }
  progress_->update_progress("Done...", -1, -1);
  progress_->pause_after_archive();
  ui_.hide_progress();
  return next;
}

bool InstallSequence::archive_present(const std::string& archive) const {
  if (options_.installer_directory.empty()) return false;
  struct stat info;
  return stat(platform::native_path(options_.installer_directory + archive).c_str(), &info) == 0;
}

State InstallSequence::make_samples() {
  destination_ = directories_.samples_directory();
  if (prepare_samples_directory(ui_, destination_)) return State::extract_samples;
  destroy_progress();
  return State::directories;
}

State InstallSequence::show_settings_page() {
  SettingsDialog settings;
  while (ui_.show_settings_page(settings) == SettingsPageResult::cancel) {
    if (ui_.show_message(exit_setup_question())) return State::unfinished;
  }
  settings_ = write_settings_file(directories_.program_directory(), settings.smtp_server(),
                                  settings.default_recipient());
  return State::finish;
}

void InstallSequence::destroy_progress() {
  if (!progress_) return;
  ui_.destroy_progress();
  progress_.reset();
}

}  // namespace

std::string installer_directory_of(std::string_view program_path) {
  std::size_t slash = program_path.rfind('/');
  if (slash == std::string_view::npos) return "";
  return std::string(program_path.substr(0, slash + 1));
}

InstallOptions default_install_options(ProgressPacing pacing) {
  return InstallOptions{installer_directory_of(own_program_path()), current_directory(), pacing,
                        query_system_version, [](const std::string& program_directory) {
                          return check_installed_settings(program_directory,
                                                          kSettingsCheckTimeLimit);
                        }};
}

bool run_install_sequence(InstallerUi& ui, const InstallOptions& options) {
  return InstallSequence(ui, options).run();
}

}  // namespace installer
