#pragma once
// Lets go of replaced output files on threads of their own.  When a rename
// removes the last name of the previous file of that name, the kernel frees
// that file's blocks within the rename; on a file system mounted with online
// discard it also waits there for the device to discard them, which on a
// virtual disk can take longer than writing the new file.  So the writer
// keeps a reference to the previous file (a path-only descriptor, which
// neither reads it nor opens devices or pipes) across the rename, and hands
// the reference over here: the rename only replaces the name, and the
// blocks are freed while the writer goes on with the next file.  Nothing
// here can change what any name refers to, nor the order of the renames.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "output/file_ops.hpp"

namespace dx {

class Releaser {
 public:
  // At most this many replaced files wait to be let go: they still take
  // their room on the disk until then.
  static constexpr std::size_t kMaxHeld = 4;
  // Several, as the device works on several discards at once.
  static constexpr std::size_t kThreads = 2;

  // Starts the threads; throws std::system_error when one cannot be
  // started (none is left running then).
  explicit Releaser(const FileOps& ops);
  // Lets go of everything handed over, then ends the threads.
  ~Releaser();
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

  // A reference to the file now at `name` in the folder `dir`, or -1 where
  // there is none (or none can be had, which only makes the rename free it
  // itself).
  int hold(int dir, const std::string& name) const { return ops_.hold(dir, name.c_str()); }
  // Drops a reference at once.  A path-only descriptor carries no data, so
  // its close has nothing to report.
  void drop(int fd) const { static_cast<void>(ops_.close(fd)); }
  // Takes over a held reference; waits while kMaxHeld are held.
  void release(int fd);
  // Waits until every reference handed over is let go.
  void let_go_all();

 private:
  void loop();
  void stop();

  const FileOps& ops_;
  std::mutex mutex_;
  std::condition_variable work_;   // a reference was handed over, or stop
  std::condition_variable space_;  // a reference was let go
  std::deque<int> pending_;        // handed over, not yet being let go
  std::size_t held_ = 0;           // handed over, not yet let go
  bool stop_ = false;
  std::array<std::thread, kThreads> threads_;  // last: started once everything above exists
};

}  // namespace dx
