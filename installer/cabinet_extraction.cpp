#include "installer/cabinet_extraction.h"

#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "installer/cabinet_entry.h"
#include "installer/cabinet_header.h"
#include "installer/cabinet_system.h"
#include "installer/declared_sizes.h"
#include "installer/messages.h"
#include "installer/no_follow.h"
#include "platform/path_map.h"
#include "platform/text.h"

namespace installer {

namespace {

// A bound on the parts of one cabinet set, so that a set naming itself ends.
constexpr int kMaxCabinetParts = 1024;
// Uncompressed bytes of a full data block; a folder holds no more than its blocks' worth.
constexpr std::uint64_t kDataBlockBytes = 32768;
constexpr mode_t kOutputFileMode = 0644;
// A cabinet carries no execute permission: the product's programs, stored at the top of an
// archive, get it from their names so that the web server can start them.
constexpr mode_t kProgramFileMode = 0755;
constexpr std::string_view kProgramNames[] = {"velloc", "pgp"};

mode_t output_mode(const std::string& stored_name) {
  for (std::string_view program : kProgramNames)
    if (stored_name == program) return kProgramFileMode;
  return kOutputFileMode;
}

enum class DecoderError { none, arguments, open, read, write, damaged, no_memory };

// What became of one stored file, and whether the archive goes on after it.
enum class FileOutcome { installed, not_installed, archive_stopped };

// The one place where the decoder's error codes become ours.
DecoderError decoder_error(int code) {
  switch (code) {
    case MSPACK_ERR_OK:
      return DecoderError::none;
    case MSPACK_ERR_ARGS:
      return DecoderError::arguments;
    case MSPACK_ERR_OPEN:
      return DecoderError::open;
    case MSPACK_ERR_READ:
    case MSPACK_ERR_SEEK:
      return DecoderError::read;
    case MSPACK_ERR_WRITE:
      return DecoderError::write;
    case MSPACK_ERR_NOMEMORY:
      return DecoderError::no_memory;
    default:
      return DecoderError::damaged;
  }
}

// Trailing white space removed and a final "/"; nothing for an empty directory (or one of
// white space only, which would otherwise become the root directory).
std::optional<std::string> normal_directory(const std::string& directory) {
  std::string normal(directory);
  while (!normal.empty() && platform::kWhiteSpace.find(normal.back()) != std::string::npos)
    normal.pop_back();
  if (normal.empty()) return std::nullopt;
  if (normal.back() != '/') normal += '/';
  return normal;
}

std::string base_name(std::string_view name) {
  std::size_t separator = name.find_last_of("/\\");
  return std::string(separator == std::string_view::npos ? name : name.substr(separator + 1));
}

bool utf8_name(const mscabd_file& file) { return file.attribs & MSCAB_ATTRIB_UTF_NAME; }

// The entry's name as it may be shown, in quotes.
std::string quoted_entry(const mscabd_file& file) {
  std::string entry = shown_name(file.filename, utf8_name(file));
  entry.insert(entry.begin(), '\'');
  entry.push_back('\'');
  return entry;
}

int saturated_sum(int position, std::size_t bytes) {
  long long sum = static_cast<long long>(position) + static_cast<long long>(bytes);
  return sum > INT_MAX ? INT_MAX : static_cast<int>(sum);
}

bool write_all(int fd, const char* data, std::size_t bytes) {
  while (bytes > 0) {
    ssize_t written = write(fd, data, bytes);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    bytes -= static_cast<std::size_t>(written);
  }
  return true;
}

void set_file_time(int fd, std::optional<std::time_t> time) {
  if (!time) return;
  timespec times[2] = {{*time, 0}, {*time, 0}};
  futimens(fd, times);
}

// One archive's extraction: the decoder, the cabinet set it has open, and the output
// handling for the file being extracted.
class CabinetExtraction : public OutputHandler {
 public:
  CabinetExtraction(std::string archive, std::string destination, ProgressDialog& progress,
                    InstallerUi& ui)
      : archive_(std::move(archive)),
        destination_(std::move(destination)),
        folder_(platform::native_path(destination_)),
        progress_(progress),
        ui_(ui),
        system_(*this) {}

  ~CabinetExtraction() override {
    if (decoder_ == nullptr) return;
    if (cabinet_ != nullptr) decoder_->close(decoder_, cabinet_);
    mspack_destroy_cab_decompressor(decoder_);
  }

  CabinetExtraction(const CabinetExtraction&) = delete;
  CabinetExtraction& operator=(const CabinetExtraction&) = delete;

  bool open(const std::string& archive_path, const std::string& source_directory);
  bool extract_all();
  // Why the archive was refused before anything of it was written; empty otherwise.
  const std::string& refusal() const { return refusal_; }

  int open_output(const char* path) override;
  bool write_block(int fd, const void* data, std::size_t bytes) override;
  void close_output(int fd) override;

 private:
  mscabd_cabinet* open_part(const std::string& path);
  bool open_whole_set(const std::string& source_directory);
  std::optional<std::string> entry_refusal() const;
  bool sizes_fit();
  FileOutcome extract_file(mscabd_file* file);
  FileOutcome put_in_place(const mscabd_file* file, DecoderError error);
  bool refuse(const std::optional<std::string>& reason);
  bool refuse_file(int error);

  std::string archive_;
  std::string destination_;
  // The destination as it stands on disk; nothing is written outside it.
  std::string folder_;
  ProgressDialog& progress_;
  InstallerUi& ui_;
  CabinetSystem system_;
  mscab_decompressor* decoder_ = nullptr;
  mscabd_cabinet* cabinet_ = nullptr;
  // The decoder keeps the very name pointers it was given; they live as long as we do.
  std::deque<std::string> part_paths_;
  std::string refusal_;
  // The file being extracted.
  std::string stored_name_;
  std::optional<std::time_t> stored_time_;
  bool output_refused_ = false;
  // Why the output of the file being extracted could not be opened (an errno), 0 if it was.
  int output_error_ = 0;
  std::string output_path_;
  bool close_failed_ = false;
  std::uint64_t bytes_written_ = 0;
  // Where the file being extracted goes, below folder_, once its output was opened, and
  // where it is written until it is whole.
  std::optional<std::string> output_below_;
  std::optional<std::string> staged_below_;
};

bool CabinetExtraction::open(const std::string& archive_path, const std::string& source_directory) {
  int selftest;
  MSPACK_SYS_SELFTEST(selftest);
  if (decoder_error(selftest) != DecoderError::none) return false;
  decoder_ = mspack_create_cab_decompressor(system_.get());
  if (decoder_ == nullptr) return false;
  decoder_->set_param(decoder_, MSCABD_PARAM_DECOMPBUF, kDecompressionBufferBytes);
  // A block that fails its checksum is an error, never passed over.
  decoder_->set_param(decoder_, MSCABD_PARAM_FIXMSZIP, 0);
  decoder_->set_param(decoder_, MSCABD_PARAM_SALVAGE, 0);
  cabinet_ = open_part(archive_path);
  if (cabinet_ == nullptr) return false;
  return open_whole_set(source_directory);
}

// Nothing for a part whose headers are not those of an intact cabinet.
mscabd_cabinet* CabinetExtraction::open_part(const std::string& path) {
  if (!cabinet_file_is_sound(path)) return nullptr;
  part_paths_.push_back(path);
  return decoder_->open(decoder_, part_paths_.back().c_str());
}

// Each part names the next one; it is looked for in the source directory. True when the
// set is whole: it starts with this archive, every part it names is there and follows its
// predecessor, and the last part names no further one.
bool CabinetExtraction::open_whole_set(const std::string& source_directory) {
  if (cabinet_->flags & MSCAB_HDR_PREVCAB) return false;
  mscabd_cabinet* last = cabinet_;
  for (int parts = 1; parts < kMaxCabinetParts; ++parts) {
    if (!(last->flags & MSCAB_HDR_NEXTCAB)) return true;
    if (last->nextname == nullptr) return false;
    std::string path = platform::native_path(source_directory + base_name(last->nextname));
    mscabd_cabinet* next = open_part(path);
    if (next == nullptr) return false;
    if (next->set_id != last->set_id || next->set_index != last->set_index + 1 ||
        decoder_error(decoder_->append(decoder_, last, next)) != DecoderError::none) {
      decoder_->close(decoder_, next);
      return false;
    }
    last = next;
  }
  return false;
}

// What the decoder lets pass: known compression, names that can become file names, stamps
// an intact cabinet holds, and every file inside the data its folder has. Nothing when all
// pass, otherwise the first entry that does not and why.
std::optional<std::string> CabinetExtraction::entry_refusal() const {
  for (mscabd_folder* folder = cabinet_->folders; folder != nullptr; folder = folder->next)
    if (!compression_is_known(folder->comp_type))
      return "a folder is compressed with a method that is not known";
  for (mscabd_file* file = cabinet_->files; file != nullptr; file = file->next) {
    if (std::optional<std::string> refusal = stored_name_refusal(file->filename, utf8_name(*file)))
      return refusal;
    std::string entry = quoted_entry(*file);
    if (!stored_time_is_sound(file->date_y, file->date_m, file->date_d, file->time_h, file->time_m,
                              file->time_s))
      return entry + " has a date or time that names no real moment";
    std::uint64_t end = std::uint64_t{file->offset} + file->length;
    if (file->folder == nullptr || end > file->folder->num_blocks * kDataBlockBytes)
      return entry + " lies beyond the data of its folder";
  }
  return std::nullopt;
}

// A damaged archive is refused before anything of it is written.
bool CabinetExtraction::extract_all() {
  if (!sizes_fit()) return false;
  if (std::optional<std::string> damage = entry_refusal()) {
    refusal_ = *damage;
    return false;
  }
  bool complete = true;
  for (mscabd_file* file = cabinet_->files; file != nullptr; file = file->next) {
    FileOutcome outcome = extract_file(file);
    if (outcome == FileOutcome::archive_stopped) return false;
    complete = complete && outcome == FileOutcome::installed;
  }
  return complete;
}

// Checked before anything of the archive is written; first, since a file that declares
// too many bytes lies beyond its folder's data too.
bool CabinetExtraction::sizes_fit() {
  std::vector<DeclaredFile> files;
  for (mscabd_file* file = cabinet_->files; file != nullptr; file = file->next)
    files.push_back({shown_name(file->filename, utf8_name(*file)), file->length});
  std::optional<std::string> refusal = declared_size_refusal(files, free_bytes_of(folder_));
  if (!refusal) return true;
  refusal_ = *refusal;
  return refuse("Archive '" + archive_ + "' not extracted into '" + destination_ +
                "': " + *refusal + ".");
}

// M7, which skips the rest of the archive, with its reason when there is one.
bool CabinetExtraction::refuse(const std::optional<std::string>& reason) {
  ui_.show_message(extraction_error_message());
  if (reason) ui_.note_reason(*reason);
  return false;
}

// M7 for the file being extracted, with a line of its own that names the file and why it
// could not be put in place; the same line becomes the archive's refusal.
bool CabinetExtraction::refuse_file(int error) {
  refusal_ = "'" + output_path_ +
             "' could not be written: " + (error != 0 ? std::strerror(error) : "refused");
  return refuse(refusal_);
}

FileOutcome CabinetExtraction::extract_file(mscabd_file* file) {
  std::optional<std::string> relative = relative_output_path(file->filename);
  if (!relative) {
    refuse(std::nullopt);
    return FileOutcome::archive_stopped;
  }
  stored_name_ = file->filename;
  stored_time_ = stored_local_time(file->date_y, file->date_m, file->date_d, file->time_h,
                                   file->time_m, file->time_s);
  output_refused_ = close_failed_ = false;
  output_error_ = 0;
  bytes_written_ = 0;
  output_below_.reset();
  staged_below_.reset();
  std::string output = platform::native_path_for_create(destination_ + *relative);
  output_path_ = output;
  DecoderError error = decoder_error(decoder_->extract(decoder_, file, output.c_str()));
  if (error == DecoderError::open && output_refused_) {
    refuse_file(output_error_);
    return FileOutcome::archive_stopped;
  }
  return put_in_place(file, error);
}

// The file takes its name only when the decoder finished it, it holds the declared number
// of bytes and it was closed: an incomplete file would pass for an installed one.
FileOutcome CabinetExtraction::put_in_place(const mscabd_file* file, DecoderError error) {
  if (!staged_below_) return FileOutcome::archive_stopped;
  bool whole = error == DecoderError::none && bytes_written_ == file->length;
  if (!whole || close_failed_) {
    remove_below(folder_, *staged_below_);
    return whole ? FileOutcome::not_installed : FileOutcome::archive_stopped;
  }
  if (int failure = commit_staged_below(folder_, *staged_below_, *output_below_); failure != 0) {
    remove_below(folder_, *staged_below_);
    refuse_file(failure);
    return FileOutcome::archive_stopped;
  }
  return FileOutcome::installed;
}

int CabinetExtraction::open_output(const char* path) {
  mode_t mode = output_mode(stored_name_);
  std::optional<std::string> below = path_below(folder_, path);
  std::string staged;
  int fd = below ? open_staged_below(folder_, *below, mode, staged) : -1;
  if (fd < 0) {
    output_refused_ = true;
    output_error_ = below ? errno : EXDEV;
    return -1;
  }
  output_below_ = below;
  staged_below_ = staged;
  fchmod(fd, mode);
  progress_.update_progress("Extracting '" + stored_name_ + "' to '" + destination_ + "'...", -1,
                            -1);
  return fd;
}

bool CabinetExtraction::write_block(int fd, const void* data, std::size_t bytes) {
  progress_.update_progress(std::nullopt, saturated_sum(progress_.position(), bytes), -1);
  progress_.pause_after_block();
  if (!write_all(fd, static_cast<const char*>(data), bytes)) return false;
  bytes_written_ += bytes;
  return true;
}

void CabinetExtraction::close_output(int fd) {
  set_file_time(fd, stored_time_);
  if (close(fd) == 0) return;
  close_failed_ = true;
  ui_.show_message(extraction_error_message());
}

}  // namespace

bool extract_cabinet(const std::string& archive, const std::string& source_directory,
                     std::string& destination_directory, ProgressDialog& progress, InstallerUi& ui,
                     std::string* refusal) {
  if (refusal != nullptr) refusal->clear();
  std::optional<std::string> source = normal_directory(source_directory);
  std::optional<std::string> destination = normal_directory(destination_directory);
  if (!source || !destination) return false;
  destination_directory = *destination;
  progress.set_range(kProgressRange);
  CabinetExtraction extraction(archive, *destination, progress, ui);
  if (!extraction.open(platform::native_path(*source + archive), *source)) return false;
  bool complete = extraction.extract_all();
  if (refusal != nullptr) *refusal = extraction.refusal();
  return complete;
}

}  // namespace installer
