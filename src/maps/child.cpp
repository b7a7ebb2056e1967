#include "maps/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
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

// Output kept per child: enough for its messages, bounded for a child that
// talks without end.
constexpr std::size_t kMaxOutput = 1 << 20;

struct Running {
  std::size_t index = 0;
  pid_t pid = -1;
  int fd = -1;  // read end of the child's output pipe; -1 once at its end
  int slot = -1;
  double deadline = 0;
  bool timed_out = false;
  std::string output;
};

// Ends a child that was started but cannot be run.
void kill_and_reap(Running& r) {
  static_cast<void>(::kill(r.pid, SIGKILL));
  static_cast<void>(::close(r.fd));
  while (::waitpid(r.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// How a child is spawned: standard input from /dev/null, standard output
// and standard error into `out`, its working folder `cwd` (< 0: ours), the
// signal mask `mask` and the default action of every ending signal.
class SpawnSetup {
 public:
  SpawnSetup(int out, int cwd, const sigset_t& mask) {
    if ((err_ = posix_spawn_file_actions_init(&actions_)) != 0) return;
    actions_made_ = true;
    if ((err_ = posix_spawnattr_init(&attributes_)) != 0) return;
    attributes_made_ = true;
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int sig : kEndingSignals) sigaddset(&defaults, sig);
    err_ = posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    if (err_ == 0) err_ = posix_spawn_file_actions_adddup2(&actions_, out, 1);
    if (err_ == 0) err_ = posix_spawn_file_actions_adddup2(&actions_, out, 2);
    if (err_ == 0 && cwd >= 0) err_ = posix_spawn_file_actions_addfchdir_np(&actions_, cwd);
    if (err_ == 0) err_ = posix_spawnattr_setsigmask(&attributes_, &mask);
    if (err_ == 0) err_ = posix_spawnattr_setsigdefault(&attributes_, &defaults);
    if (err_ == 0) err_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    if (actions_made_) posix_spawn_file_actions_destroy(&actions_);
    if (attributes_made_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Starts `argv`; 0 or the error number.
  int spawn(pid_t& pid, const std::vector<std::string>& argv) const {
    if (err_ != 0) return err_;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return posix_spawn(&pid, args[0], &actions_, &attributes_, args.data(), environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  bool actions_made_ = false, attributes_made_ = false;
  int err_ = 0;
};

Running start(const ChildJob& job, std::size_t index, CleanupList& cleanup) {
  const auto cannot_start = [&job](int err) {
    return Error("cannot start " + job.argv[0] + ": " + system_reason(err));
  };
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw cannot_start(errno);
  Descriptor read_end(pipe_fds[0]);
  const Descriptor write_end(pipe_fds[1]);  // the child holds its own copy
  Running r;
  {
    // The ending signals blocked while the child is started and
    // registered, so that a signal never finds a child it does not know
    // of; the child starts with the mask of the run.
    const BlockEndingSignals blocked;
    const SpawnSetup setup(write_end.get(), job.cwd, blocked.previous());
    if (const int err = setup.spawn(r.pid, job.argv); err != 0) throw cannot_start(err);
    r.fd = read_end.release();
    try {
      r.slot = cleanup.add_process(r.pid);
    } catch (...) {
      kill_and_reap(r);
      throw;
    }
  }
  r.index = index;
  r.deadline = now() + job.time_limit;
  return r;
}

// Reads what is there; false once the pipe is at its end.
bool drain(Running& r) {
  char buf[65536];
  const ssize_t n = ::read(r.fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) return false;  // end, or an error that leaves nothing more to read
  if (r.output.size() < kMaxOutput)
    r.output.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), kMaxOutput - r.output.size()));
  return true;
}

ChildResult finish(Running& r, CleanupList& cleanup) {
  if (r.fd >= 0) static_cast<void>(::close(r.fd));  // a pipe's read end: nothing to report
  r.fd = -1;
  int st = 0;
  pid_t w;
  do w = ::waitpid(r.pid, &st, 0);
  while (w < 0 && errno == EINTR);
  cleanup.remove_process(r.slot);
  ChildResult res;
  res.timed_out = r.timed_out;
  res.output = std::move(r.output);
  if (w < 0) res.status = -1;
  else if (WIFEXITED(st)) res.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) res.status = 128 + WTERMSIG(st);
  return res;
}

void kill_all(std::vector<Running>& running, CleanupList& cleanup) {
  for (Running& r : running) {
    static_cast<void>(::kill(r.pid, SIGKILL));  // it may have ended already
    static_cast<void>(finish(r, cleanup));
  }
  running.clear();
}

}  // namespace

std::string find_program(const char* name) {
  const char* path = std::getenv("PATH");
  std::stringstream in(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string d; std::getline(in, d, ':');) {
    std::string p = d.empty() ? std::string(".") : d;
    p.append("/").append(name);
    struct stat sb;
    if (::stat(p.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode) || ::access(p.c_str(), X_OK) != 0) continue;
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
                  const std::function<void(std::size_t, ChildResult&&)>& done) {
  parallel = std::clamp<std::size_t>(parallel, 1, CleanupList::kProcessSlots);
  std::vector<Running> running;
  std::size_t next = 0;
  try {
    while (next < jobs.size() || !running.empty()) {
      while (next < jobs.size() && running.size() < parallel) {
        running.push_back(start(jobs[next], next, cleanup));
        ++next;
      }
      // Wait for output, an end of output or the nearest time limit.
      std::vector<pollfd> fds;
      double nearest = running.front().deadline;
      for (const Running& r : running) {
        fds.push_back({r.fd, POLLIN, 0});
        nearest = std::min(nearest, r.deadline);
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
          static_cast<void>(::kill(r.pid, SIGKILL));  // it may have ended already
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
