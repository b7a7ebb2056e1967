#pragma once
// Child processes of the run: found in PATH, started without a shell
// (arguments are passed as they are, never re-parsed), in a folder of
// their own, with standard output and standard error captured together
// (bounded: the beginning, the end and the error lines between), and ended
// with whatever they started (each leads a process group of its own) when
// they run past their time limit or when the run ends, however it ends
// (even by SIGKILL, which ends the child itself).  Several run at
// once; the calling thread waits for them with poll, so no thread of ours
// is involved.  While a child runs it is registered in the run's cleanup
// list, so that a signal that ends the run ends it too.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "base/cleanup.hpp"

namespace dx {

struct ChildJob {
  std::vector<std::string> argv;  // argv[0] is the program's path
  int cwd = -1;                   // a descriptor of the child's working folder; < 0: the caller's
  double time_limit = 600;        // seconds
};

struct ChildResult {
  int status = -1;         // exit status, or 128 + signal
  int signal = 0;          // the signal that ended it, if one did
  bool timed_out = false;  // killed at its time limit
  std::string output;      // standard output and standard error, interleaved; bounded
};

// Word of a child that runs long: `report(index, seconds)` once the child
// that has run longest has run `after` seconds, and every `after` seconds
// after that while it runs.
struct SlowChild {
  double after = 30;
  std::function<void(std::size_t, double)> report;
};

// Runs every job, at most `parallel` at once, in the order given, and calls
// `done(index, result)` as each ends (in the order they end); at most as
// many at once as the cleanup list holds processes.  An exception
// thrown by `done` ends the other children and is passed on.  Throws Error
// when a child cannot be started.
void run_children(const std::vector<ChildJob>& jobs, std::size_t parallel, CleanupList& cleanup,
                  const std::function<void(std::size_t, ChildResult&&)>& done, const SlowChild& slow = {});

// The program `name` in PATH, as an absolute path; "" if none.  A file of
// that name that cannot be run is named in `not_runnable` (the first one).
std::string find_program(const char* name, std::string* not_runnable = nullptr);

// The number of processors this process may run on (at least 1).
std::size_t usable_cpus();

}  // namespace dx
