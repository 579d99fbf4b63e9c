// Decoding of a multipart/form-data POST body: plain parts become form fields the
// way URL-encoded pairs do, file parts are written to temporary files and listed as
// uploads, their fields holding the shown name. The body is read once, in chunks.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/request/field_map.h"
#include "velloc/request/multipart_parser.h"
#include "velloc/request/upload.h"

// Where upload data waits and how much structure a body may have.
struct UploadSpool {
  std::string temp_dir = ".";  // composed path, as the TEMP setting gives it
  bool follow_links = false;   // temp_dir may be a symbolic link (FollowLinks=1)
  platform::TempFileRegistry* registry = nullptr;  // lists the files for signal cleanup
  MultipartLimits limits;
};

// Reads `length` bytes of `body` (fewer when it ends early) as a multipart body with
// `boundary`. Plain parts and the shown names of files go through `fields`. Every
// temporary file made is added to `files` as soon as it exists. Throws
// MalformedRequest when the body is malformed, std::runtime_error when a file
// cannot be written, and RequestLimitExceeded for a part beyond the field limit.
void decode_multipart_body(std::istream& body, std::uint64_t length, const std::string& boundary,
                           const UploadSpool& spool, FieldAdder& fields,
                           std::vector<Upload>& uploads, TempFileSet& files);
