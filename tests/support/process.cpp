#include "support/process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace dxtest {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> sanitizer_env() {
  auto with = [](const char* name, const char* extra) {
    const char* old = std::getenv(name);
    std::string v = old && *old ? std::string(old) + ":" : std::string();
    return std::string(name) + "=" + v + extra;
  };
  return {with("ASAN_OPTIONS", "exitcode=86"), with("UBSAN_OPTIONS", "halt_on_error=1:exitcode=87"),
          with("LSAN_OPTIONS", "exitcode=88")};
}

Child::Child(const Launch& l) : timeout_(l.timeout), start_(now_seconds()) {
  captured_out_ = l.stdout_path.empty() && l.stdout_fd < 0;
  const std::string out_file = l.stdout_path.empty() ? capture_ / "stdout" : l.stdout_path;
  const std::string err_file = capture_ / "stderr";

  // Everything the child needs is prepared before fork.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string s(*e);
    const std::string name = s.substr(0, s.find('='));
    const bool replaced = std::any_of(l.env.begin(), l.env.end(),
                                      [&](const std::string& n) { return n.substr(0, n.find('=')) == name; });
    if (!replaced) env.push_back(s);
  }
  // A later entry for a name replaces an earlier one.
  for (std::size_t i = 0; i < l.env.size(); ++i) {
    const std::string name = l.env[i].substr(0, l.env[i].find('='));
    bool later = false;
    for (std::size_t j = i + 1; j < l.env.size(); ++j) later = later || l.env[j].substr(0, l.env[j].find('=')) == name;
    if (!later) env.push_back(l.env[i]);
  }
  std::vector<char*> envp, args;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv = l.argv;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    if (chdir(l.cwd.c_str()) != 0) _exit(126);
    int o = l.stdout_fd;
    if (o < 0) o = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0) _exit(126);
    dup2(o, 1);
    dup2(e, 2);
    signal(SIGPIPE, l.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (!l.cgroup.empty()) {
      const std::string pid = std::to_string(getpid());
      const int fd = open((l.cgroup + "/cgroup.procs").c_str(), O_WRONLY);
      if (fd < 0 || write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()) || close(fd) != 0) _exit(126);
    }
    if (l.address_space > 0) {
      const rlimit lim{l.address_space, l.address_space};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(126);
    }
    if (l.file_size > 0) {
      const rlimit lim{l.file_size, l.file_size};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(126);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid_, pid_);  // also from here, so that the group exists at once
}

Child::~Child() {
  if (!reaped_) {
    kill(-pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
  }
}

pid_t Child::find(const std::string& comm) const {
  DIR* d = opendir("/proc");
  if (!d) return 0;
  pid_t found = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    // pid (comm) state ppid pgrp ...
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (line.substr(open + 1, close - open - 1) != comm) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    long ppid = 0, pgrp = 0;
    rest >> state >> ppid >> pgrp;
    if ((pgrp == pid_ || ppid == pid_) && state != 'Z') {
      found = static_cast<pid_t>(std::atol(e->d_name));
      break;
    }
  }
  closedir(d);
  return found;
}

void Child::reap(int st) {
  reaped_ = true;
  wstatus_ = st;
  // Whatever the child left running in its group goes too.
  kill(-pid_, SIGKILL);
}

bool Child::done() {
  if (reaped_) return true;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) == pid_) reap(st);
  return reaped_;
}

Outcome Child::wait() {
  while (!done()) {
    if (now_seconds() - start_ > timeout_) {
      timed_out_ = true;
      kill(-pid_, SIGKILL);
      int st = 0;
      waitpid(pid_, &st, 0);
      reap(st);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Outcome o;
  o.seconds = now_seconds() - start_;
  o.timed_out = timed_out_;
  if (WIFEXITED(wstatus_)) {
    o.status = WEXITSTATUS(wstatus_);
  } else {
    o.signal = WTERMSIG(wstatus_);
    o.status = 128 + o.signal;
  }
  auto slurp = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  if (captured_out_) o.out = slurp(capture_ / "stdout");
  o.err = slurp(capture_ / "stderr");
  return o;
}

Outcome run(const Launch& l) {
  Child c(l);
  return c.wait();
}

MemoryCgroup::MemoryCgroup(std::uint64_t limit) {
  if (geteuid() != 0) {
    reason_ = "making a memory control group needs root";
    return;
  }
  std::ifstream in("/proc/self/cgroup");
  std::string line, v1_path, v2_path;
  bool v2_line = false;
  while (std::getline(in, line)) {
    const auto a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    const std::string path = line.substr(b + 1);
    if (controllers.empty()) {
      v2_line = true;
      v2_path = path;
    }
    std::istringstream cs(controllers);
    std::string c;
    while (std::getline(cs, c, ','))
      if (c == "memory") v1_path = path;
  }
  std::string parent;
  if (!v1_path.empty() && std::filesystem::exists("/sys/fs/cgroup/memory/cgroup.procs")) {
    parent = "/sys/fs/cgroup/memory" + (v1_path == "/" ? std::string() : v1_path);
  } else if (v2_line && std::filesystem::exists("/sys/fs/cgroup/cgroup.controllers")) {
    parent = "/sys/fs/cgroup" + (v2_path == "/" ? std::string() : v2_path);
    v2_ = true;
  } else {
    reason_ = "no memory control group hierarchy found";
    return;
  }
  std::string dir = parent + "/dx-test-" + std::to_string(getpid());
  if (mkdir(dir.c_str(), 0755) != 0) {
    reason_ = "cannot make " + dir + ": " + std::strerror(errno);
    return;
  }
  const std::string file = dir + (v2_ ? "/memory.max" : "/memory.limit_in_bytes");
  std::ofstream lim(file);
  lim << limit;
  lim.close();
  const int lim_errno = errno;
  if (!lim.good() || !std::filesystem::exists(file)) {
    // A group made where the memory controller is not handed down to the
    // groups below has no limit file at all.
    reason_ = std::filesystem::exists(file) ? "cannot set a memory limit in " + dir + ": " + std::strerror(lim_errno)
              : v2_ ? "the memory controller is not enabled below " + parent + " (not in its cgroup.subtree_control)"
                    : "no memory limit file in " + dir;
    rmdir(dir.c_str());
    return;
  }
  // Best effort: the swap limit exists only where swap is accounted.
  if (!v2_) {
    std::ofstream swap(dir + "/memory.memsw.limit_in_bytes");
    swap << limit;  // where swap is accounted, no swap beyond the limit either
  } else {
    std::ofstream swap(dir + "/memory.swap.max");
    swap << 0;
  }
  dir_ = dir;
}

MemoryCgroup::~MemoryCgroup() {
  if (dir_.empty()) return;
  // The group can go once its processes have (they may take a moment).
  for (int i = 0; i < 200 && rmdir(dir_.c_str()) != 0 && errno == EBUSY; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool MemoryCgroup::oom_killed() const {
  std::ifstream in(dir_ + (v2_ ? "/memory.events" : "/memory.oom_control"));
  std::string key;
  std::uint64_t n = 0;
  while (in >> key >> n)
    if (key == "oom_kill") return n > 0;
  return false;
}

Launch tool_launch(const std::string& dir) {
  Launch l;
  l.argv = {DX_BINARY, "--station-file", "SPI_Stn.nc"};
  l.cwd = dir;
  l.env = sanitizer_env();
  l.timeout = 120;
  return l;
}

Launch fixed_path_launch(const std::string& dir) {
  Launch l = tool_launch(dir);
  l.argv = {"/bin/bash", std::string(DX_SOURCE_DIR) + "/scripts/at_fixed_path.sh", dir + "/SPI_Stn.nc", "--",
            DX_BINARY};
  return l;
}

Outcome run_tool(const std::string& dir) { return run(tool_launch(dir)); }

bool fixed_path_unavailable(const Outcome& r) {
  return r.status == 125 && r.err.find("at_fixed_path.sh") != std::string::npos;
}

InChild in_child(const std::function<int(std::string& report)>& body) {
  InChild r;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {  // not inherited by what the body starts
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return r;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return r;
  }
  if (pid == 0) {
    ::close(fds[0]);
    std::string report;
    int status = 99;
    try {
      status = body(report);
    } catch (...) {
    }
    for (std::size_t at = 0; at < report.size();) {
      const ssize_t n = ::write(fds[1], report.data() + at, report.size() - at);
      if (n <= 0) ::_exit(98);
      at += static_cast<std::size_t>(n);
    }
    ::_exit(status);
  }
  ::close(fds[1]);
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) r.report.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int st = 0;
  if (::waitpid(pid, &st, 0) != pid) {
    ADD_FAILURE() << "waitpid: " << std::strerror(errno);
    return r;
  }
  r.exited = WIFEXITED(st);
  r.status = r.exited ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

std::string find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');)
    if (!d.empty() && ::access((d + "/" + name).c_str(), X_OK) == 0) return d + "/" + name;
  return "";
}

}  // namespace dxtest
