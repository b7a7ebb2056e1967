#pragma once
// What a run must undo when a signal ends it: the temporary files and
// folders it is writing, and the child processes that work for it.
// Ctrl-C (SIGINT), SIGTERM, SIGHUP and a SIGPIPE left at its default action
// end the children, remove the files and folders, and then end the process
// with the signal's own default action, so that the shell still sees the
// signal; the outputs stay the complete old or new files, as always.
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

// The cleanup list: fixed slots that a signal handler can read.  A slot is
// filled before its file or folder is created (or just after its process
// is started) and emptied once the file is renamed or removed (the process
// waited for).  Each name is looked up in the folder open at a descriptor
// (AT_FDCWD: the working folder), as the run created it.  A registration
// that finds no free slot throws: a file the handler does not know of
// would outlive a Ctrl-C.
class CleanupList {
 public:
  // Files and folders registered at once: the write-behind sink holds two
  // temporary files; the maps step three folders and one file.
  static constexpr std::size_t kPathSlots = 4;
  static constexpr std::size_t kMaxPath = 4096;
  static constexpr std::size_t kProcessSlots = 64;

  // Registers the temporary file `name` in the folder `dir`; returns its
  // slot.  Throws Error when every slot is taken or the name is too long.
  int add_file(int dir, const std::string& name);
  // The same for a folder of files (a folder inside it stays: the next run
  // removes it).
  int add_folder(int dir, const std::string& name);
  void remove(int slot) noexcept;
  // Registers a child process; returns its slot.  Throws Error when every
  // slot is taken.
  int add_process(pid_t pid);
  void remove_process(int slot) noexcept;
  // Ends the registered processes (SIGKILL, and waits for them), then
  // removes every registered file and folder.  Async-signal-safe.
  void run() const noexcept;

 private:
  struct Slot {
    std::atomic<bool> used{false};
    int dir = -1;
    bool folder = false;
    char path[kMaxPath];
  };
  int add(int dir, const std::string& name, bool folder);
  std::array<Slot, kPathSlots> slots_;
  std::array<std::atomic<pid_t>, kProcessSlots> processes_{};
};

// While alive, the ending signals above run the cleanup list `list`, then
// end the process by the signal.  One at a time: a signal handler can only
// reach its data through the process, so the object records where the list
// is for the handler, and nothing else reads it.
class SignalCleanup {
 public:
  explicit SignalCleanup(const CleanupList& list);
  ~SignalCleanup();
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;
};

// While alive, the ending signals are blocked on the calling thread: a
// thread started meanwhile never takes them, and a child started and
// registered meanwhile is never missed by the handler.
class BlockEndingSignals {
 public:
  BlockEndingSignals();
  ~BlockEndingSignals();
  BlockEndingSignals(const BlockEndingSignals&) = delete;
  BlockEndingSignals& operator=(const BlockEndingSignals&) = delete;
  // The mask before the block, for a child to start with.
  const sigset_t& previous() const { return previous_; }

 private:
  sigset_t previous_;
};

}  // namespace dx
