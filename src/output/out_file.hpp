#pragma once
// An output file that is replaced atomically: the bytes go through a large
// buffer into a temporary file beside the final one ("<path>.dx-tmp"), which
// is renamed over the final name only when it is complete and closed.  On
// any failure, or if the file is dropped before commit(), the temporary file
// is removed and the previous file of that name stays untouched.  Every
// system call is checked; errors name the file and the system's reason.
// While a WriteBehind object is alive (see write_behind.hpp), the writes,
// the close and the rename are carried out by its background thread.
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "output/write_behind.hpp"

namespace dx {

// The system calls used by OutFile.  Tests replace them to make a call fail.
struct FileOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buf, std::size_t n);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
};
FileOps& file_ops();           // the calls in use
const FileOps& system_file_ops();  // the real ones

inline constexpr std::string_view TEMP_SUFFIX = ".dx-tmp";

// The steps shared by direct writes and the write-behind thread.  Each
// returns 0 or the error number.
// Writes all `n` bytes, resuming after short and interrupted writes; a
// write that takes nothing is ENOSPC.  `written`, if given, receives the
// bytes written, also on failure.
int write_fully(int fd, const char* data, std::size_t n, std::size_t* written = nullptr);
// Closes the finished temporary file and renames it over `path`; `what`
// tells which step failed ("cannot close", "cannot replace").
int close_and_replace(int fd, const std::string& temp, const std::string& path, const char*& what);
// The message of a failed output step: "<what> <path>: <reason>".
std::string output_failure(const char* what, const std::string& path, int err);

class OutFile {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  explicit OutFile(std::string path);
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  // The buffer to append to; call flush_if_full() after appending.
  std::string& buffer() { return buf_; }
  void flush_if_full() {
    if (buf_.size() >= kBufferSize) flush();
  }
  void write(const char* data, std::size_t n);
  void write(std::string_view s) { write(s.data(), s.size()); }

  // Writes the buffer out now (hands it over, when writing behind).
  void flush();
  // Writes the buffer, then `n` bytes at `data` that the caller keeps
  // unchanged until wait() for the returned ticket returns.  With direct
  // writes they are written at once and the ticket is 0.
  Ticket write_shared(const char* data, std::size_t n);
  // Waits until the write of `ticket` is carried out.
  static void wait(Ticket ticket) { behind::wait(ticket); }
  // Flushes, closes and renames the temporary file over the final name.
  void commit();

  const std::string& path() const { return path_; }

 private:
  [[noreturn]] void fail(const char* what, int err);
  void write_all(const char* data, std::size_t n);
  void discard() noexcept;

  std::string path_;
  std::string temp_;
  std::string buf_;
  int fd_ = -1;
  behind::File behind_;  // set when writing behind; it then owns the file
  bool committed_ = false;
};

}  // namespace dx
