// The file and memory operations that the cabinet decoder (libmspack) works through. Cabinet
// files are read as regular files only; every output file that the decoder opens, writes and
// closes is handed to the OutputHandler, so that the extraction decides where data go and
// paces the progress display. The handler must outlive the CabinetSystem, and the
// CabinetSystem every decoder created over it.
#pragma once

#include <mspack.h>

#include <cstddef>

namespace installer {

class OutputHandler {
 public:
  virtual ~OutputHandler() = default;
  // The decoder wants to write the file it was told to extract to `path`. Returns an open
  // descriptor, or -1 when the file cannot be opened.
  virtual int open_output(const char* path) = 0;
  // One block of the file's data; `bytes` may be 0. False reports a failed write.
  virtual bool write_block(int fd, const void* data, std::size_t bytes) = 0;
  // The file is complete (or abandoned); the handler closes `fd`.
  virtual void close_output(int fd) = 0;
};

// The mspack_system handed to the decoder, with the handler its operations report to.
struct CabinetSystemBridge {
  mspack_system system;  // first member: the decoder hands this pointer back to us
  OutputHandler* handler;
};

class CabinetSystem {
 public:
  explicit CabinetSystem(OutputHandler& handler);
  CabinetSystem(const CabinetSystem&) = delete;
  CabinetSystem& operator=(const CabinetSystem&) = delete;

  mspack_system* get() { return &bridge_.system; }

 private:
  CabinetSystemBridge bridge_;
};

}  // namespace installer
