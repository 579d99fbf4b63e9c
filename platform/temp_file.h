// Unique temporary files, made with mkstemp (O_EXCL) so that concurrent runs never share
// one. A TempFile is written and read only through the descriptor that created it and is
// removed by its owner on every path; a TempFileRegistry, owned by the entry point, lists
// every temporary file of the process so that a termination signal can remove them too.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The temporary files alive in this process, by native name and identity. Safe to use from
// any thread; while a termination guard is armed, only the thread that armed it makes and
// drops files, since the guard's signal handler reads the list on that thread. remove_all()
// removes a listed name only while it still names the file that was made, so a stale entry
// never removes another run's file.
class TempFileRegistry {
 public:
  TempFileRegistry() = default;
  TempFileRegistry(const TempFileRegistry&) = delete;
  TempFileRegistry& operator=(const TempFileRegistry&) = delete;

  // mkostemps(3) of `pattern` (changed in place) with the new file listed before anyone
  // can end the process between the two. Returns the descriptor or -1. Entries whose file
  // is gone are dropped on the way.
  int create(std::vector<char>& pattern, int suffix_length);
  void forget(const std::string& native_path);
  void remove_all();

  // `hook` runs once, before the first file is made or the first hold taken, on the
  // thread that does it: the termination guard starts its work there. Set before any
  // file is made.
  void call_before_first_file(std::function<void()> hook) { before_first_file_ = std::move(hook); }

  // While a hold lives, a termination signal waits: the temporary files are removed and
  // the process ends only once the last hold is released, so a record being appended to
  // a file is finished rather than cut. Holds are short (one write). Taking one arms a
  // guard that waits for the first file.
  class EndingHold {
   public:
    explicit EndingHold(TempFileRegistry* registry);  // nullptr: holds nothing
    ~EndingHold();
    EndingHold(const EndingHold&) = delete;
    EndingHold& operator=(const EndingHold&) = delete;

   private:
    TempFileRegistry* registry_;
  };

  // For the termination guard's signal handler, on the thread that armed it; takes no lock
  // and allocates nothing. When the list is not being changed and no hold is taken (or
  // `past_holds`, once holds have had their time), removes every listed file that is
  // still ours and returns true. Otherwise notes `signal_number` (the first one noted
  // stays) and returns false: the registry then calls the ending set by
  // `call_when_deferred_can_end` with it as soon as the change is done or the last hold
  // released.
  bool remove_all_or_defer(int signal_number, bool past_holds);
  // The signal noted by remove_all_or_defer, 0 when none.
  int deferred_signal() const { return deferred_signal_; }
  void call_when_deferred_can_end(std::function<void(int)> end) { end_deferred_ = std::move(end); }

 private:
  struct Entry {
    std::string path;
    dev_t device;
    ino_t inode;
  };
  // Marks a change of the list for the signal handler.
  class Busy;
  void run_before_first_file();
  // Counts a change or a hold out; the last one to go ends the process by a signal
  // deferred meanwhile.
  void leave(std::atomic<int>& counter);
  void remove_listed_files() const;

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::function<void()> before_first_file_;
  std::function<void(int)> end_deferred_;
  std::atomic<int> changing_{0};
  std::atomic<int> holds_{0};
  std::atomic<int> deferred_signal_{0};
};

// One temporary file and its descriptor (opened for reading and writing). The destructor
// closes it and removes the name, unless the name was removed or given to another file in
// the meantime. Movable, not copyable.
class TempFile {
 public:
  // A new empty file in `directory` (a composed path; "" means the current directory)
  // whose name begins with the three-letter `prefix`; listed in `registry` when given.
  static std::optional<TempFile> create(const std::string& directory, const char* prefix,
                                        TempFileRegistry* registry);

  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  int fd() const { return fd_; }
  // The path as composed text: `directory` followed by the new name.
  const std::string& path() const { return path_; }

  // Closes the descriptor and hands the name to the caller, who then removes the file; it
  // stays listed in the registry until then.
  std::string release_name();

 private:
  TempFile(int fd, std::string path, std::string native, TempFileRegistry* registry);
  void remove();

  int fd_ = -1;
  std::string path_;
  std::string native_;
  TempFileRegistry* registry_ = nullptr;
};

// Creates a new empty file like TempFile::create and closes it at once; the caller owns
// the name. Returns the composed path, or nullopt when no file could be made.
std::optional<std::string> make_temp_file(const std::string& directory, const char* prefix,
                                          TempFileRegistry* registry = nullptr);

}  // namespace platform
