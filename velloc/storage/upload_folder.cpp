#include "velloc/storage/upload_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

constexpr int kMaxNameAttempts = 1000;
constexpr std::size_t kCopyChunk = 64 * 1024;
constexpr char kNotSaved[] = "VLTXT: Could not save upload \"%s\" in \"%s\"\n";
constexpr char kFolderIsLink[] =
    "VLTXT: Upload folder \"%s\" is a link; set FollowLinks=1 to allow it.\n";

std::string folder_prefix(const std::string& folder) {
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder;
  return folder + "/";
}

// Copies the whole file open at `in` (the upload's own descriptor, read from its start).
bool copy_file(int in, int to) {
  if (in < 0) return false;
  std::vector<char> chunk(kCopyChunk);
  bool copied = true;
  for (off_t offset = 0;;) {
    ssize_t count = pread(in, chunk.data(), chunk.size(), offset);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      copied = count == 0;
      break;
    }
    offset += count;
    if (!platform::write_all(to, chunk.data(), static_cast<std::size_t>(count))) {
      copied = false;
      break;
    }
  }
  return copied;
}

// Creates the copy under the first free name; its composed path, or empty.
std::string save_one(const std::string& folder, const std::string& prefix, std::size_t number,
                     std::size_t step, const Upload& upload, int upload_fd) {
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt, number += step) {
    std::string path =
        folder_prefix(folder) + prefix + "-" + std::to_string(number) + "-" + upload.shown_name;
    int fd = open(platform::native_path_for_create(path).c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return {};
    bool copied = copy_file(upload_fd, fd);
    if (close(fd) != 0 || !copied) {
      unlink(platform::native_path(path).c_str());
      return {};
    }
    return path;
  }
  return {};
}

}  // namespace

std::string saved_upload_prefix(const Run& run) {
  std::string receipt = run.request.get_field("RECEIPT_NUMBER");
  if (!receipt.empty()) return receipt;
  std::time_t now = run.site.clock().time();
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
  return stamp;
}

int save_uploads(Run& run, const std::string& folder) {
  std::string prefix = saved_upload_prefix(run);
  std::vector<Upload>& uploads = run.request.uploads;
  if (uploads.empty()) return 0;
  if (!run.message.follow_links && platform::is_folder_link(platform::native_path(folder))) {
    log_event(run.message, 1, kFolderIsLink, folder.c_str());
    return static_cast<int>(uploads.size());
  }
  int failures = 0;
  for (std::size_t index = 0; index < uploads.size(); ++index) {
    const Upload& upload = uploads[index];
    int upload_fd = run.request.upload_files.descriptor_of(upload.path);
    // An upload that the run did not spool itself is read by name, never through a link.
    int opened = upload_fd >= 0
                     ? -1
                     : platform::open_regular_file(platform::native_path(upload.path).c_str(),
                                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    std::string saved = save_one(folder, prefix, index + 1, uploads.size(), upload,
                                 upload_fd >= 0 ? upload_fd : opened);
    if (opened >= 0) close(opened);
    if (saved.empty()) {
      log_event(run.message, 1, kNotSaved, uploads[index].shown_name.c_str(), folder.c_str());
      ++failures;
      continue;
    }
    std::string& shown = run.request.fields.find_or_add(uploads[index].field + "_SAVED");
    if (!shown.empty()) shown += run.request.join_separator;
    shown += saved;
  }
  return failures;
}
