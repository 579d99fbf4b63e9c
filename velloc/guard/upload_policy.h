// Which uploaded files a run accepts: a pure decision over each file's shown name,
// size, first bytes and place in the request, against the upload limits of the
// settings. The pipeline step asks it for every file before anything is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct UploadLimits {
  std::uint64_t max_size = 10 * 1024 * 1024;  // bytes per file
  std::size_t max_uploads = 5;                // files per request
  // Extensions allowed, lower case without the dot. Empty: any file that does not
  // look like a program. Either way a name with a server-side script type among
  // its extensions ("a.pdf.phtml", "a.php.pdf") is refused unless that type is listed.
  std::vector<std::string> allowed_types;
  bool operator==(const UploadLimits&) const = default;
};

enum class UploadVerdict {
  kAccepted,
  kTooMany,
  kTooLarge,
  kTypeNotAllowed,
  kExecutable,
  kServerScript
};

// The decision for the `position`-th file (counting from 1) of a request.
UploadVerdict judge_upload(const UploadLimits& limits, std::size_t position,
                           std::string_view shown_name, std::uint64_t size,
                           std::string_view first_bytes);

// Why a file was refused, for the log.
const char* verdict_reason(UploadVerdict verdict);

// The limits from the setting values as written (empty: the default). Sizes are
// bytes, or a number followed by K or M (binary units); lists are separated by
// commas and/or blanks, a leading dot allowed.
UploadLimits parse_upload_limits(std::string_view max_size, std::string_view max_uploads,
                                 std::string_view types);

// The lower-case extension of a file name ("" when none); trailing dots and blanks
// do not hide it.
std::string file_extension(std::string_view name);
