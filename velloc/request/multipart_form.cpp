#include "velloc/request/multipart_form.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <optional>
#include <stdexcept>

#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "platform/temp_file.h"

namespace {

constexpr char kUploadTempPrefix[] = "VLU";
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kHeadBytes = 4;

// Sends plain parts to the FieldMap and file parts to temporary files.
class FormPartSink : public PartHandler {
 public:
  FormPartSink(const UploadSpool& spool, FieldAdder& fields, std::vector<Upload>& uploads,
               TempFileSet& files)
      : spool_(spool), fields_(fields), uploads_(uploads), files_(files) {}
  void begin_part(const PartHeaders& headers) override {
    name_ = headers.name;
    value_.clear();
    discard_ = headers.filename && headers.filename->empty();
    if (headers.filename && !discard_) open_upload(headers);
  }

  void part_data(std::string_view data) override {
    if (discard_) return;
    if (fd_ < 0) {
      value_.append(data);
      return;
    }
    Upload& upload = uploads_.back();
    upload.size += data.size();
    if (upload.head.size() < kHeadBytes)
      upload.head.append(data.substr(0, kHeadBytes - upload.head.size()));
    write_all(data);
  }

  void end_part() override {
    if (fd_ >= 0) {
      close_file();
      fields_.add(name_, uploads_.back().shown_name);
      return;
    }
    fields_.add(name_, std::move(value_));
  }

 private:
  void open_upload(const PartHeaders& headers) {
    if (!spool_.follow_links && platform::is_folder_link(platform::native_path(spool_.temp_dir)))
      throw std::runtime_error("the temporary folder is a link");
    std::optional<platform::TempFile> file =
        platform::TempFile::create(spool_.temp_dir, kUploadTempPrefix, spool_.registry);
    if (!file) throw std::runtime_error("cannot make a temporary file for an upload");
    fd_ = file->fd();
    std::string path = file->path();
    files_.add(std::move(*file));
    uploads_.push_back(Upload{headers.name, upload_shown_name(*headers.filename), path, 0, {}});
  }

  void write_all(std::string_view data) {
    while (!data.empty()) {
      ssize_t written = write(fd_, data.data(), data.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) throw std::runtime_error("cannot write an upload's temporary file");
      data.remove_prefix(static_cast<std::size_t>(written));
    }
  }

  // The descriptor stays with the file's owner in the set.
  void close_file() { fd_ = -1; }

  const UploadSpool& spool_;
  FieldAdder& fields_;
  std::vector<Upload>& uploads_;
  TempFileSet& files_;
  std::string name_;
  std::string value_;
  bool discard_ = false;
  int fd_ = -1;
};

}  // namespace

void decode_multipart_body(std::istream& body, std::uint64_t length, const std::string& boundary,
                           const UploadSpool& spool, FieldAdder& fields,
                           std::vector<Upload>& uploads, TempFileSet& files) {
  FormPartSink sink(spool, fields, uploads, files);
  MultipartParser parser(boundary, spool.limits, sink);
  std::string chunk(kReadChunk, '\0');
  std::uint64_t left = length;
  bool cut = false;
  while (left > 0 && !cut) {
    std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadChunk));
    body.read(chunk.data(), static_cast<std::streamsize>(wanted));
    std::size_t count = static_cast<std::size_t>(body.gcount());
    left -= count;
    cut = count < wanted;
    if (!parser.feed(std::string_view(chunk.data(), count))) break;
  }
  if (cut) throw body_cut_short(length - left, length);
  if (!parser.finish()) throw MalformedRequest("malformed multipart body: " + parser.error());
}
