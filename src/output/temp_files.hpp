#pragma once
// The temporary output files that exist at a moment, and their removal
// when a signal ends the run.  Ctrl-C (SIGINT), SIGTERM, SIGHUP and a
// SIGPIPE left at its default action remove the temporary files being
// written and then end the process with the signal's own default action,
// so that the shell still sees the signal; the outputs stay the complete
// old or new files, as always.
#include <signal.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <string>

namespace dx {

// The signals whose default action ends the process and that a user or
// the system sends to stop a run.
inline constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Slots of names that a signal handler can read: a slot is filled before
// its file is created and emptied once the file is renamed or removed.
// Each name is looked up in the folder open at a descriptor (AT_FDCWD:
// the working folder), as the run created it.  A slot may also hold a
// temporary folder (its files are removed, then the folder), and a few
// slots hold child processes that work for the run, which a signal ends
// before the files they write in are removed.
class TempFiles {
 public:
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kMaxPath = 4096;
  static constexpr std::size_t kProcessSlots = 64;

  // Registers `name` in the folder `dir`; returns its slot, or -1 when no
  // slot is free or the name is too long (the file is then only removed by
  // the next run).
  int add(int dir, const std::string& name) noexcept;
  // The same for a folder that holds only files.
  int add_folder(int dir, const std::string& name) noexcept;
  void remove(int slot) noexcept;
  // Registers a child process; returns its slot or -1.
  int add_process(pid_t pid) noexcept;
  void remove_process(int slot) noexcept;
  // Ends the registered processes (SIGKILL, and waits for them), then
  // removes every registered file and folder.  Async-signal-safe.
  void unlink_all() const noexcept;

 private:
  struct Slot {
    std::atomic<bool> used{false};
    int dir = -1;
    bool folder = false;
    char path[kMaxPath];
  };
  int add(int dir, const std::string& name, bool folder) noexcept;
  std::array<Slot, kSlots> slots_;
  std::array<std::atomic<pid_t>, kProcessSlots> processes_{};
};

// While alive, the terminating signals above remove the files registered
// in `temps`, then end the process by the signal.  One at a time: a signal
// handler can only reach its data through the process, so the object
// records where the files are for the handler, and nothing else reads it.
class SignalCleanup {
 public:
  explicit SignalCleanup(const TempFiles& temps);
  ~SignalCleanup();
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;
};

}  // namespace dx
