#include "output/temp_files.hpp"

#include <signal.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error.hpp"

namespace dx {
namespace {

constexpr std::size_t kNumSignals = kEndingSignals.size();

// What the handler reads: set only while a SignalCleanup lives.
std::atomic<const TempFiles*> g_handled{nullptr};
struct sigaction g_previous[kNumSignals];
bool g_installed[kNumSignals];

extern "C" void on_terminating_signal(int sig) {
  const int saved = errno;
  if (const TempFiles* temps = g_handled.load()) temps->unlink_all();
  // The default action, once the handler returns: the signal is blocked
  // while it runs, so raising it again leaves it pending until then.
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved;
}

}  // namespace

int TempFiles::add(int dir, const std::string& name) noexcept {
  if (name.size() >= kMaxPath) return -1;
  for (std::size_t i = 0; i < kSlots; ++i) {
    Slot& s = slots_[i];
    if (s.used.load(std::memory_order_acquire)) continue;
    s.dir = dir;
    std::memcpy(s.path, name.c_str(), name.size() + 1);
    s.used.store(true, std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void TempFiles::remove(int slot) noexcept {
  if (slot >= 0) slots_[static_cast<std::size_t>(slot)].used.store(false, std::memory_order_release);
}

void TempFiles::unlink_all() const noexcept {
  for (const Slot& s : slots_)
    if (s.used.load(std::memory_order_acquire)) static_cast<void>(::unlinkat(s.dir, s.path, 0));  // ENOENT: already renamed
}

SignalCleanup::SignalCleanup(const TempFiles& temps) {
  const TempFiles* none = nullptr;
  if (!g_handled.compare_exchange_strong(none, &temps)) throw Error("signal cleanup is already installed");
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

}  // namespace dx
