#pragma once
// An exclusive lock on the folder that the outputs go to, held for the
// whole run, and the descriptor of that folder, through which the run
// writes every output.  Two runs writing into one folder would remove and
// rename each other's temporary files; with the lock, a second run stops
// before it reads anything.  The lock is taken on the folder itself
// (flock), so no file is added to the user's folder, and the kernel drops
// it with the process however the process ends: a killed run blocks
// nothing.
#include <string>

#include "base/descriptor.hpp"

namespace dx {

class FolderLock {
 public:
  // Opens `dir` and locks it.  Throws Error "another drought-export run is
  // writing in DIR" when the folder is locked by another run, and "cannot
  // lock the output folder DIR: <reason>" when it cannot be opened for the
  // lock (a folder that can be written but not read) or the lock fails in
  // another way.  Only on a file system that has no locks does the run go
  // on unlocked, with a warning saying so.
  explicit FolderLock(const std::string& dir);

  // The descriptor of the folder opened (and locked).
  int fd() const { return folder_.get(); }

 private:
  // Closed with the lock, or when the constructor throws: closing drops
  // the lock, and a descriptor of a folder carries nothing to report.
  Descriptor folder_;
};

}  // namespace dx
