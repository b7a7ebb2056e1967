#pragma once
// Output failures on demand: replacement system calls for OutFile that
// fail in a chosen way (and, from fs.hpp, a small tmpfs that fills up).
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "output/out_file.hpp"
#include "support/fs.hpp"

namespace dxtest {

// Ways in which the output system calls are made to fail.
enum class Fault {
  OpenDenied,         // creating the temporary file fails with EACCES
  WriteNoSpace,       // writes succeed up to a byte budget, then ENOSPC
  WriteReturnsZero,   // writes succeed up to a byte budget, then write() returns 0
  CloseFails,         // close() reports EIO (the descriptor is still released)
  RenameFails,        // rename() fails with EXDEV
};
const char* fault_name(Fault f);

// Installs failing system calls into dx::file_ops() for the life of the
// object and restores the previous ones afterwards.  `budget` is the number
// of bytes that the write faults let through (the first failing write call
// is cut to what is left of the budget, so a failure comes part-way).
// Faults apply from the `skip_files`+1-th file opened on.
class InjectedFault {
 public:
  InjectedFault(Fault fault, std::size_t budget = 0, int skip_files = 0);
  ~InjectedFault();
  InjectedFault(const InjectedFault&) = delete;
  InjectedFault& operator=(const InjectedFault&) = delete;

 private:
  dx::FileOps saved_;
};

// Short writes and EINTR: every write() call moves at most `chunk` bytes and
// every other call is interrupted first.  Output must still come out whole.
class ChoppyWrites {
 public:
  explicit ChoppyWrites(std::size_t chunk);
  ~ChoppyWrites();
  ChoppyWrites(const ChoppyWrites&) = delete;
  ChoppyWrites& operator=(const ChoppyWrites&) = delete;

 private:
  dx::FileOps saved_;
};

// Runs `write`, which must throw dx::Error; returns its message (empty and
// a test failure when nothing was thrown).
std::string error_of(const std::function<void()>& write);

// Entries of `dir` that are temporary output files left behind.
std::vector<std::string> temp_files_in(const std::string& dir);

}  // namespace dxtest
