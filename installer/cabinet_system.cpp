#include "installer/cabinet_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/regular_file.h"

namespace installer {

namespace {

// What our mspack_file handles really are.
struct OpenFile {
  int fd;
  bool output;  // opened for the decoder's output, owned by the OutputHandler
  OutputHandler* handler;
};

OpenFile* as_open_file(mspack_file* file) { return reinterpret_cast<OpenFile*>(file); }

OutputHandler* handler_of(mspack_system* self) {
  return reinterpret_cast<CabinetSystemBridge*>(self)->handler;
}

// Cabinets are read only when they are regular files, so a pipe or device of the
// archive's name can never block the installer.
int open_cabinet(const char* path) {
  return platform::open_regular_file(path, O_RDONLY | O_NONBLOCK);
}

mspack_file* system_open(mspack_system* self, const char* filename, int mode) {
  OutputHandler* handler = handler_of(self);
  bool output = mode == MSPACK_SYS_OPEN_WRITE;
  if (!output && mode != MSPACK_SYS_OPEN_READ) return nullptr;
  int fd = output ? handler->open_output(filename) : open_cabinet(filename);
  if (fd < 0) return nullptr;
  return reinterpret_cast<mspack_file*>(new OpenFile{fd, output, handler});
}

void system_close(mspack_file* file) {
  OpenFile* open_file = as_open_file(file);
  if (open_file->output) {
    open_file->handler->close_output(open_file->fd);
  } else {
    close(open_file->fd);
  }
  delete open_file;
}

int system_read(mspack_file* file, void* buffer, int bytes) {
  if (bytes < 0) return -1;
  ssize_t count;
  do {
    count = read(as_open_file(file)->fd, buffer, static_cast<std::size_t>(bytes));
  } while (count < 0 && errno == EINTR);
  return static_cast<int>(count);
}

int system_write(mspack_file* file, void* buffer, int bytes) {
  OpenFile* open_file = as_open_file(file);
  if (bytes < 0 || !open_file->output) return -1;
  bool written =
      open_file->handler->write_block(open_file->fd, buffer, static_cast<std::size_t>(bytes));
  return written ? bytes : -1;
}

int system_seek(mspack_file* file, off_t offset, int mode) {
  int whence = mode == MSPACK_SYS_SEEK_START ? SEEK_SET
               : mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR
                                             : SEEK_END;
  return lseek(as_open_file(file)->fd, offset, whence) < 0 ? -1 : 0;
}

off_t system_tell(mspack_file* file) { return lseek(as_open_file(file)->fd, 0, SEEK_CUR); }

// The decoder's warnings are informational; the installer shows none of them.
void system_message(mspack_file*, const char*, ...) {}

// Zeroed, so that a damaged stream that makes a decoder copy from parts of its window it
// never filled hands out zeros, never what the memory held before.
void* system_alloc(mspack_system*, size_t bytes) { return std::calloc(1, bytes); }
void system_free(void* pointer) { std::free(pointer); }
void system_copy(void* source, void* destination, size_t bytes) {
  std::memcpy(destination, source, bytes);
}

}  // namespace

CabinetSystem::CabinetSystem(OutputHandler& handler)
    : bridge_{mspack_system{system_open, system_close, system_read, system_write, system_seek,
                            system_tell, system_message, system_alloc, system_free, system_copy,
                            nullptr},
              &handler} {}

}  // namespace installer
