#include "maps/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/descriptor.hpp"
#include "base/error.hpp"

extern char** environ;

namespace dx {
namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// What is kept of a child's output: its beginning, its end, and between
// them the lines that report an error, each part bounded, so that a child
// that talks without end costs a fixed amount of memory and its last words
// and its errors are still there.
class KeptOutput {
 public:
  void add(const char* p, std::size_t n) {
    const std::size_t to_head = std::min(n, kPart - std::min(kPart, head_.size()));
    head_.append(p, to_head);
    tail_.append(p + to_head, n - to_head);
    if (tail_.size() < 2 * kPart) return;
    // The oldest part of the tail is left out, but for its error lines.
    const std::size_t drop = tail_.size() - kPart;
    for (std::size_t i = 0; i < drop; ++i) {
      const char c = tail_[i];
      if (c != '\n') {
        if (line_.size() < kLine) line_.push_back(c);
        continue;
      }
      if (line_.find("rror") != std::string::npos && error_lines_ < kLines) {
        errors_.append(line_).push_back('\n');
        ++error_lines_;
      }
      line_.clear();
    }
    tail_.erase(0, drop);
    left_out_ += drop;
  }
  std::string text() && {
    if (left_out_ == 0) return std::move(head_.append(tail_));
    std::string t = std::move(head_);
    if (!t.empty() && t.back() != '\n') t.push_back('\n');
    t.append(errors_);
    // The tail from its first whole line.
    const std::size_t nl = tail_.find('\n');
    return t.append(nl == std::string::npos ? tail_ : tail_.substr(nl + 1));
  }

 private:
  static constexpr std::size_t kPart = 64 << 10, kLine = 512, kLines = 16;
  std::string head_, tail_, line_, errors_;
  std::size_t left_out_ = 0, error_lines_ = 0;
};

struct Running {
  std::size_t index = 0;
  pid_t pid = -1;
  int fd = -1;  // read end of the child's output pipe; -1 once at its end
  int slot = -1;
  double started = 0, deadline = 0, reported = 0;
  bool timed_out = false;
  KeptOutput output;
};

// Ends the child `pid` and whatever it started: its process group.  It
// may have ended already.
void end(pid_t pid) {
  static_cast<void>(::kill(-pid, SIGKILL));
  static_cast<void>(::kill(pid, SIGKILL));
}

// Ends a child that was started but cannot be run.
void kill_and_reap(Running& r) {
  end(r.pid);
  static_cast<void>(::close(r.fd));
  while (::waitpid(r.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// What the child does between its start and the program's: everything
// prepared by the parent, as the child shares the parent's memory until it
// runs the program (vfork).
struct SpawnPlan {
  const char* path;
  char* const* argv;
  int out;               // its standard output and standard error
  int cwd;               // its working folder; < 0: ours
  const sigset_t* mask;  // the signal mask it starts with
  pid_t parent;
};

// `fd` as the descriptor `target`, kept open across exec; 0 or -1.
int place(int fd, int target) {
  if (fd != target) return ::dup2(fd, target) < 0 ? -1 : 0;
  return ::fcntl(fd, F_SETFD, 0);
}

// In the child: only system calls.  It leads a process group of its own,
// so that ending it ends whatever it started too.  It ends with the run, even a run
// killed by SIGKILL, so that a hung child is never left behind (the
// parent may end before the request is in place: then it ends at once).
// Every signal the run handles or ignores has its default action, so that
// a file-size limit ends the child as it would from a shell instead of
// leaving it to write cut files.
[[noreturn]] void become(const SpawnPlan& p, volatile int* err) {
  int in = -1;
  if (::setpgid(0, 0) != 0 || ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != p.parent ||
      (in = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0 || place(in, 0) != 0 || place(p.out, 1) != 0 ||
      place(p.out, 2) != 0 || (p.cwd >= 0 && ::fchdir(p.cwd) != 0)) {
    *err = errno != 0 ? errno : ESRCH;
    ::_exit(127);
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (const int sig : kEndingSignals) static_cast<void>(::sigaction(sig, &dfl, nullptr));
  static_cast<void>(::sigaction(SIGXFSZ, &dfl, nullptr));
  static_cast<void>(::sigprocmask(SIG_SETMASK, p.mask, nullptr));
  ::execve(p.path, p.argv, environ);
  *err = errno;
  ::_exit(127);
}

// Starts the child of `p`; 0 or the error number.  Every signal is blocked
// meanwhile: no handler of the run may run in the child.
int spawn(const SpawnPlan& p, pid_t& pid) {
  sigset_t all, before;
  sigfillset(&all);
  static_cast<void>(pthread_sigmask(SIG_SETMASK, &all, &before));  // valid arguments: cannot fail
  volatile int err = 0;
  pid = ::vfork();
  if (pid == 0) become(p, &err);
  const int vfork_err = pid < 0 ? errno : 0;
  static_cast<void>(pthread_sigmask(SIG_SETMASK, &before, nullptr));
  if (vfork_err != 0) return vfork_err;
  if (err != 0) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return err;
  }
  return 0;
}

Running start(const ChildJob& job, std::size_t index, CleanupList& cleanup) {
  const auto cannot_start = [&job](int err) {
    return Error("cannot start " + job.argv[0] + ": " + system_reason(err));
  };
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw cannot_start(errno);
  Descriptor read_end(pipe_fds[0]);
  const Descriptor write_end(pipe_fds[1]);  // the child holds its own copy
  std::vector<char*> args;
  for (const std::string& a : job.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Running r;
  {
    // The ending signals blocked while the child is started and
    // registered, so that a signal never finds a child it does not know
    // of; the child starts with the mask of the run.
    const BlockEndingSignals blocked;
    const SpawnPlan plan{args[0], args.data(), write_end.get(), job.cwd, &blocked.previous(), ::getpid()};
    if (const int err = spawn(plan, r.pid); err != 0) throw cannot_start(err);
    r.fd = read_end.release();
    try {
      r.slot = cleanup.add_process(r.pid);
    } catch (...) {
      kill_and_reap(r);
      throw;
    }
  }
  r.index = index;
  r.started = now();
  r.deadline = r.started + job.time_limit;
  return r;
}

// Reads what is there; false once the pipe is at its end.
bool drain(Running& r) {
  char buf[65536];
  const ssize_t n = ::read(r.fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) return false;  // end, or an error that leaves nothing more to read
  r.output.add(buf, static_cast<std::size_t>(n));
  return true;
}

ChildResult finish(Running& r, CleanupList& cleanup) {
  if (r.fd >= 0) static_cast<void>(::close(r.fd));  // a pipe's read end: nothing to report
  r.fd = -1;
  int st = 0;
  pid_t w;
  do w = ::waitpid(r.pid, &st, 0);
  while (w < 0 && errno == EINTR);
  // What it started and left running ends with it (its process group
  // keeps the id, which is not given to another process meanwhile).
  static_cast<void>(::kill(-r.pid, SIGKILL));
  cleanup.remove_process(r.slot);
  ChildResult res;
  res.timed_out = r.timed_out;
  res.output = std::move(r.output).text();
  if (w < 0) res.status = -1;
  else if (WIFEXITED(st)) res.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) {
    res.signal = WTERMSIG(st);
    res.status = 128 + res.signal;
  }
  return res;
}

void kill_all(std::vector<Running>& running, CleanupList& cleanup) {
  for (Running& r : running) {
    end(r.pid);
    static_cast<void>(finish(r, cleanup));
  }
  running.clear();
}

}  // namespace

std::string find_program(const char* name, std::string* not_runnable) {
  const char* path = std::getenv("PATH");
  std::stringstream in(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string d; std::getline(in, d, ':');) {
    std::string p = d.empty() ? std::string(".") : d;
    p.append("/").append(name);
    struct stat sb;
    if (::stat(p.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) continue;
    if (::access(p.c_str(), X_OK) != 0) {
      if (not_runnable != nullptr && not_runnable->empty()) *not_runnable = p;
      continue;
    }
    if (p.front() != '/') {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd) == nullptr) continue;
      p = std::string(cwd).append("/").append(p);
    }
    return p;
  }
  return "";
}

std::size_t usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
}

void run_children(const std::vector<ChildJob>& jobs, std::size_t parallel, CleanupList& cleanup,
                  const std::function<void(std::size_t, ChildResult&&)>& done, const SlowChild& slow) {
  parallel = std::clamp<std::size_t>(parallel, 1, CleanupList::kProcessSlots);
  std::vector<Running> running;
  std::size_t next = 0;
  try {
    while (next < jobs.size() || !running.empty()) {
      while (next < jobs.size() && running.size() < parallel) {
        running.push_back(start(jobs[next], next, cleanup));
        ++next;
      }
      // Wait for output, an end of output, the nearest time limit or the
      // next word of a child that runs long.
      std::vector<pollfd> fds;
      double nearest = running.front().deadline;
      Running* longest = &running.front();
      for (Running& r : running) {
        fds.push_back({r.fd, POLLIN, 0});
        nearest = std::min(nearest, r.deadline);
        if (r.started < longest->started) longest = &r;
      }
      if (slow.report) {
        const double due = std::max(longest->started, longest->reported) + slow.after;
        if (now() >= due) {
          longest->reported = now();
          slow.report(longest->index, longest->reported - longest->started);
        }
        nearest = std::min(nearest, std::max(longest->started, longest->reported) + slow.after);
      }
      const double wait_s = std::max(0.0, nearest - now());
      const int ms = static_cast<int>(std::min(wait_s * 1000.0 + 1.0, 60000.0));
      if (::poll(fds.data(), fds.size(), ms) < 0 && errno != EINTR)
        throw Error("cannot wait for " + jobs[running.front().index].argv[0] + ": " + system_reason(errno));
      const double t = now();
      for (std::size_t i = running.size(); i-- > 0;) {
        Running& r = running[i];
        bool open = true;
        if (fds[i].revents != 0) open = drain(r);
        if (open && t >= r.deadline) {
          r.timed_out = true;
          end(r.pid);
          open = false;
        }
        if (open) continue;
        ChildResult res = finish(r, cleanup);
        const std::size_t index = r.index;
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        done(index, std::move(res));
      }
    }
  } catch (...) {
    kill_all(running, cleanup);
    throw;
  }
}

}  // namespace dx
