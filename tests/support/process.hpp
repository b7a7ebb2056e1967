#pragma once
// Running programs from the tests: the real binary under attack, in its own
// process group, with a time limit (a run that hangs is killed and
// reported), sanitizer reports told apart from the tool's own exit status,
// standard output to a file or a pipe, SIGPIPE ignored or not, an
// address-space limit or a memory control group, and the tool process itself
// findable so that it can be killed at a chosen moment.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/fs.hpp"

namespace dxtest {

struct Launch {
  std::vector<std::string> argv{};  // argv[0] is a path
  std::string cwd{};
  std::string stdout_path{};  // empty: captured
  int stdout_fd = -1;         // >= 0: this descriptor is standard output
  bool ignore_sigpipe = false;
  std::uint64_t address_space = 0;  // > 0: RLIMIT_AS of the child, bytes
  std::uint64_t file_size = 0;      // > 0: RLIMIT_FSIZE of the child, bytes
  std::vector<std::string> env{};   // "NAME=value", replacing NAME
  std::string cgroup{};             // non-empty: control group folder the child joins
  double timeout = 600;             // seconds; then the group is killed
};

struct Outcome {
  int status = -1;  // exit status; 128 + signal when killed by one
  int signal = 0;   // the signal that ended the direct child, if any
  bool timed_out = false;
  std::string out, err;
  double seconds = 0;
};

// A started child in its own process group.  The destructor kills the
// group if it is still running.
class Child {
 public:
  explicit Child(const Launch& l);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The process of the group, or a child of the one started (which may put
  // it in a group of its own), whose command name is `comm` (0 if none now).
  pid_t find(const std::string& comm) const;
  // True once the direct child has ended (reaps it).
  bool done();
  // Waits for the end (killing the group at the time limit) and collects.
  Outcome wait();

 private:
  void reap(int st);
  TempDir capture_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int wstatus_ = 0;
  double timeout_ = 0;
  double start_ = 0;
  bool timed_out_ = false;
  bool captured_out_ = true;
};

Outcome run(const Launch& l);

// Runs `body` in a forked copy of the test process, for limits that must
// not touch the test process itself (setrlimit, setuid).  The child exits
// with what `body` returns (99 if it throws); what `body` puts into its
// argument comes back as `report`.
struct InChild {
  bool exited = false;  // false: ended by a signal
  int status = -1;      // exit status; 128 + signal when killed by one
  std::string report;
};
InChild in_child(const std::function<int(std::string& report)>& body);

// A memory control group with a limit, made below the test's own group
// (cgroup v1 or v2; root only) and removed at the end.  When it cannot be
// made, ok() is false and reason() says why (the test then skips).
class MemoryCgroup {
 public:
  explicit MemoryCgroup(std::uint64_t limit);
  ~MemoryCgroup();
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;
  bool ok() const { return !dir_.empty(); }
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return dir_; }
  // Whether the kernel's out-of-memory killer acted in the group.
  bool oom_killed() const;

 private:
  std::string dir_, reason_;
  bool v2_ = false;
};

// Environment for a child under the sanitizers: their reports end the
// process with statuses that the tool never uses (86 ASan, 87 UBSan), on
// top of the options already in force.
std::vector<std::string> sanitizer_env();

// Seconds on a monotonic clock.
double now_seconds();

// drought-export run in `dir` on the station file `dir`/SPI_Stn.nc
// (--station-file), under the sanitizer environment.
Launch tool_launch(const std::string& dir);
// The same without options, with `dir`/SPI_Stn.nc provided at the tool's
// fixed path (scripts/at_fixed_path.sh).
Launch fixed_path_launch(const std::string& dir);
Outcome run_tool(const std::string& dir);

// The wrapper could not provide the station file at the fixed path.
bool fixed_path_unavailable(const Outcome& r);

// The program `name` in PATH (a path to it), or "" when there is none.
std::string find_on_path(const std::string& name);

}  // namespace dxtest

// Skips the test (from its body) when the run `r` could not be given the
// station file at the fixed path.
#define DX_SKIP_IF_NO_FIXED_PATH(r)                                                         \
  do {                                                                                      \
    if (::dxtest::fixed_path_unavailable(r))                                                \
      GTEST_SKIP() << "the station file cannot be provided at its fixed path: " << (r).err; \
  } while (0)
