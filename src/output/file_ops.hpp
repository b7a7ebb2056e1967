#pragma once
// The system calls through which output files are created, written,
// closed, renamed and removed.  Production uses system_file_ops(); tests
// derive from FileOps to make a chosen call fail, and hand their object to
// the output sink.  Implementations must be safe to call from several
// threads at once (the writer and release threads of a sink).
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace dx {

class FileOps {
 public:
  virtual ~FileOps() = default;
  // Every name is looked up in the folder open at `dir` (AT_FDCWD: the
  // working folder), as the *at() calls do: a folder renamed, or replaced
  // by a symbolic link, while the run writes changes nothing about where
  // the files go.
  virtual int open(int dir, const char* name, int flags, mode_t mode) const;
  virtual ssize_t write(int fd, const void* buf, std::size_t n) const;
  virtual int close(int fd) const;
  virtual int rename(int dir, const char* from, const char* to) const;
  virtual int unlink(int dir, const char* name) const;
  // Folders: created (mode 0777 less the umask), removed when empty, and
  // two names exchanged in one step (renameat2's RENAME_EXCHANGE; EINVAL
  // or ENOSYS where the file system cannot).
  virtual int make_folder(int dir, const char* name) const;
  virtual int remove_folder(int dir, const char* name) const;
  virtual int exchange(int dir, const char* a, const char* b) const;
  // Gives the file open at `fd` the permission bits, owner and group of
  // the regular file now at `name`, as far as the run may (a file of
  // another owner keeps the run's owner).  Nothing when there is no
  // regular file at `name`.  Best effort: the output is complete either
  // way, so a file system that keeps no modes does not fail the run.
  virtual void copy_mode(int dir, const char* name, int fd) const;
  // A path-only reference to the file now at `name` (no link followed, no
  // pipe or device opened), or -1.
  virtual int hold(int dir, const char* name) const;
};

// The real system calls.
const FileOps& system_file_ops();

// The steps shared by every output file.  Each returns 0 or the error
// number.
// Writes all `n` bytes, resuming after short and interrupted writes; a
// write that takes nothing is ENOSPC.  `written`, if given, receives the
// bytes written, also on failure.
int write_fully(const FileOps& ops, int fd, const char* data, std::size_t n, std::size_t* written = nullptr);
// Closes the finished temporary file and renames it over `name`, both in
// the folder `dir`; `what` tells which step failed ("cannot close",
// "cannot replace").
int close_and_replace(const FileOps& ops, int fd, int dir, const std::string& temp, const std::string& name,
                      const char*& what);
// The message of a failed output step: "<what> <path>: <reason>".
std::string output_failure(const char* what, const std::string& path, int err);

}  // namespace dx
