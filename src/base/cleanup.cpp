#include "base/cleanup.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/error.hpp"

namespace dx {
namespace {

constexpr std::size_t kNumSignals = kEndingSignals.size();

// What the handler reads: set only while a SignalCleanup lives.
std::atomic<const CleanupList*> g_handled{nullptr};
struct sigaction g_previous[kNumSignals];
bool g_installed[kNumSignals];

extern "C" void on_terminating_signal(int sig) {
  const int saved = errno;
  if (const CleanupList* list = g_handled.load()) list->run();
  // The default action, once the handler returns: the signal is blocked
  // while it runs, so raising it again leaves it pending until then.
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved;
}

// Removes the files of folder `path` in `dir`, then the folder, with system calls only
// (no allocation: a signal handler may call it).  A folder that holds a
// folder stays, as after a killed run; the next run removes it.
void remove_flat_folder(int dir, const char* path) noexcept {
  const int fd = ::openat(dir, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  alignas(8) char buf[4096];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
      unsigned short reclen;
      std::memcpy(&reclen, buf + off + 16, sizeof reclen);
      const char* name = buf + off + 19;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
        static_cast<void>(::unlinkat(fd, name, 0));  // a folder inside stays
      off += reclen;
    }
  }
  static_cast<void>(::close(fd));
  static_cast<void>(::unlinkat(dir, path, AT_REMOVEDIR));
}

}  // namespace

int CleanupList::add_file(int dir, const std::string& name) { return add(dir, name, false); }
int CleanupList::add_folder(int dir, const std::string& name) { return add(dir, name, true); }

int CleanupList::add(int dir, const std::string& name, bool folder) {
  if (name.size() >= kMaxPath)
    throw Error("cannot register " + name + " for removal at a signal: the name is too long");
  for (std::size_t i = 0; i < kPathSlots; ++i) {
    Slot& s = slots_[i];
    if (s.used.load(std::memory_order_acquire)) continue;
    s.dir = dir;
    std::memcpy(s.path, name.c_str(), name.size() + 1);
    s.folder = folder;
    s.used.store(true, std::memory_order_release);
    return static_cast<int>(i);
  }
  throw Error("cannot register " + name + " for removal at a signal: the cleanup list already holds " +
              std::to_string(kPathSlots) + " files and folders");
}

void CleanupList::remove(int slot) noexcept {
  if (slot >= 0) slots_[static_cast<std::size_t>(slot)].used.store(false, std::memory_order_release);
}

int CleanupList::add_process(pid_t pid) {
  for (std::size_t i = 0; i < kProcessSlots; ++i) {
    pid_t none = 0;
    if (processes_[i].compare_exchange_strong(none, pid)) return static_cast<int>(i);
  }
  throw Error("cannot register process " + std::to_string(pid) + " for ending at a signal: the cleanup list " +
              "already holds " + std::to_string(kProcessSlots) + " processes");
}

void CleanupList::remove_process(int slot) noexcept {
  if (slot >= 0) processes_[static_cast<std::size_t>(slot)].store(0);
}

void CleanupList::run() const noexcept {
  // First the processes, so that none of them creates a file in a folder
  // being removed.
  for (const auto& p : processes_) {
    const pid_t pid = p.load();
    if (pid <= 0) continue;
    // A child leads a process group of its own: what it started ends too.
    static_cast<void>(::kill(-pid, SIGKILL));
    if (::kill(pid, SIGKILL) == 0) static_cast<void>(::waitpid(pid, nullptr, 0));
  }
  for (const Slot& s : slots_) {
    if (!s.used.load(std::memory_order_acquire)) continue;
    if (s.folder) remove_flat_folder(s.dir, s.path);
    else static_cast<void>(::unlinkat(s.dir, s.path, 0));  // ENOENT: already renamed
  }
}

SignalCleanup::SignalCleanup(const CleanupList& list) {
  const CleanupList* none = nullptr;
  if (!g_handled.compare_exchange_strong(none, &list)) throw Error("signal cleanup is already installed");
  struct sigaction act {};
  act.sa_handler = on_terminating_signal;
  sigemptyset(&act.sa_mask);
  for (std::size_t i = 0; i < kNumSignals; ++i) {
    g_installed[i] = false;
    struct sigaction old {};
    if (sigaction(kEndingSignals[i], nullptr, &old) != 0) continue;
    // A signal the caller chose to ignore stays ignored (SIGPIPE ignored
    // turns a closed pipe into an error line instead).
    if (old.sa_handler == SIG_IGN) continue;
    if (sigaction(kEndingSignals[i], &act, &g_previous[i]) == 0) g_installed[i] = true;
  }
}

SignalCleanup::~SignalCleanup() {
  for (std::size_t i = 0; i < kNumSignals; ++i)
    if (g_installed[i]) static_cast<void>(sigaction(kEndingSignals[i], &g_previous[i], nullptr));
  g_handled.store(nullptr);
}

BlockEndingSignals::BlockEndingSignals() {
  sigset_t ending;
  sigemptyset(&ending);
  for (const int sig : kEndingSignals) sigaddset(&ending, sig);
  static_cast<void>(pthread_sigmask(SIG_BLOCK, &ending, &previous_));  // valid arguments: cannot fail
}

BlockEndingSignals::~BlockEndingSignals() { static_cast<void>(pthread_sigmask(SIG_SETMASK, &previous_, nullptr)); }

}  // namespace dx
