#pragma once
// Child processes of the run: found in PATH, started without a shell
// (posix_spawn; arguments are passed as they are, never re-parsed), in a
// folder of their own, with standard output and standard error captured
// together, and ended when they run past their time limit.  Several run at
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
  bool timed_out = false;  // killed at its time limit
  std::string output;      // standard output and standard error, interleaved
};

// Runs every job, at most `parallel` at once, in the order given, and calls
// `done(index, result)` as each ends (in the order they end); at most as
// many at once as the cleanup list holds processes.  An exception
// thrown by `done` ends the other children and is passed on.  Throws Error
// when a child cannot be started.
void run_children(const std::vector<ChildJob>& jobs, std::size_t parallel, CleanupList& cleanup,
                  const std::function<void(std::size_t, ChildResult&&)>& done);

// The program `name` in PATH, as an absolute path; "" if none.
std::string find_program(const char* name);

// The number of processors this process may run on (at least 1).
std::size_t usable_cpus();

}  // namespace dx
