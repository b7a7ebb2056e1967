#pragma once
// Output failures on demand: system calls for the output sink that fail in
// a chosen way (and, from fs.hpp, a small tmpfs that fills up).
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "output/file_ops.hpp"
#include "support/fs.hpp"

namespace dxtest {

// Ways in which the output system calls are made to fail.
enum class Fault {
  None,
  OpenDenied,        // creating the temporary file fails with EACCES
  WriteNoSpace,      // writes succeed up to a byte budget, then ENOSPC
  WriteReturnsZero,  // writes succeed up to a byte budget, then write() returns 0
  NoSpaceOnce,       // writes succeed up to a byte budget, one then fails with ENOSPC, the rest succeed
  CloseFails,        // close() reports EIO (the descriptor is still released)
  RenameFails,       // rename() fails with EXDEV
};
const char* fault_name(Fault f);

// System calls with one fault.  `budget` is the number of bytes that the
// write faults let through (the first failing write call is cut to what is
// left of the budget, so a failure comes part-way).  Faults apply from the
// `skip_files`+1-th file opened on; the descriptors and names of faulty
// files are remembered, so that the fault hits that file's own writes,
// close and rename even when they are carried out on another thread while
// later files are being created.
class InjectedFault : public dx::FileOps {
 public:
  explicit InjectedFault(Fault fault, std::size_t budget = 0, int skip_files = 0)
      : fault_(fault), budget_(budget), skip_files_(skip_files) {}
  int open(int dir, const char* path, int flags, mode_t mode) const override;
  ssize_t write(int fd, const void* buf, std::size_t n) const override;
  int close(int fd) const override;
  int rename(int dir, const char* from, const char* to) const override;

 private:
  const Fault fault_;
  mutable std::mutex mutex_;
  mutable std::size_t budget_;
  mutable bool spent_ = false;  // NoSpaceOnce: the one failure has come
  const int skip_files_;
  mutable int opened_ = 0;
  mutable std::set<int> fds_;            // open faulty files
  mutable std::set<std::string> paths_;  // their names
};

// Holds the rename of the file whose final name ends in `name` until
// `until()` holds or `timeout` seconds have passed, and tells whether it
// held.  The rename is the step that puts a file on disk; holding it shows
// deterministically whether the calling thread goes on past a point that
// must wait for it (with correct code it waits, and the hold ends by the
// timeout).
class HeldRename : public dx::FileOps {
 public:
  HeldRename(std::string name, std::function<bool()> until, double timeout = 0.5)
      : name_(std::move(name)), until_(std::move(until)), timeout_(timeout) {}
  int rename(int dir, const char* from, const char* to) const override;
  // Whether `until()` came true while the rename was held.
  bool overtaken() const { return overtaken_; }

 private:
  const std::string name_;
  const std::function<bool()> until_;
  const double timeout_;
  mutable std::atomic<bool> overtaken_{false};
};

// Short writes and EINTR: every write() call moves at most `chunk` bytes and
// every other call is interrupted first.  Output must still come out whole.
class ChoppyWrites : public dx::FileOps {
 public:
  explicit ChoppyWrites(std::size_t chunk) : chunk_(chunk == 0 ? 1 : chunk) {}
  ssize_t write(int fd, const void* buf, std::size_t n) const override;

 private:
  const std::size_t chunk_;
  mutable std::mutex mutex_;
  mutable bool interrupt_next_ = true;
};

// Runs `write`, which must throw dx::Error; returns its message (empty and
// a test failure when nothing was thrown).
std::string error_of(const std::function<void()>& write);

// Entries of `dir` that are temporary output files left behind.
std::vector<std::string> temp_files_in(const std::string& dir);

}  // namespace dxtest
