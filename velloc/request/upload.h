// The files a visitor sent with a multipart form: one Upload record per file part,
// whose data waits in a temporary file, and the TempFileSet that owns such files
// for the run and deletes them when it ends, on every path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Upload {
  std::string field;       // the form field's name, as sent
  std::string shown_name;  // see upload_shown_name
  std::string path;        // the temporary file holding the data (composed path)
  std::uint64_t size = 0;
  std::string head;  // the first bytes of the data, for the content check
};

// Paths of temporary files owned by the run. Each is deleted when the set is
// destroyed or assigned over; moving hands the files to the new set.
class TempFileSet {
 public:
  TempFileSet() = default;
  TempFileSet(TempFileSet&& other) noexcept;
  TempFileSet& operator=(TempFileSet&& other) noexcept;
  TempFileSet(const TempFileSet&) = delete;
  TempFileSet& operator=(const TempFileSet&) = delete;
  ~TempFileSet();

  void add(std::string path);
  void delete_all();

 private:
  std::vector<std::string> paths_;
};

// The name a file is shown under: the last component of the name the browser sent
// (after the last "/" or "\"), without control characters (the Unicode line,
// paragraph and bidirectional controls included), quotes, separators
// or leading and trailing dots and blanks, at most 200 bytes; "upload" when nothing is left.
std::string upload_shown_name(std::string_view sent_name);
