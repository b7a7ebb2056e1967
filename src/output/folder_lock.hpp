#pragma once
// An exclusive lock on the folder that the outputs go to, held for the
// whole run.  Two runs writing into one folder would remove and rename
// each other's temporary files; with the lock, a second run stops before
// it reads anything.  The lock is taken on the folder itself (flock), so
// no file is added to the user's folder, and the kernel drops it with the
// process however the process ends: a killed run blocks nothing.
#include <string>

namespace dx {

class FolderLock {
 public:
  // Throws Error "another drought-export run is writing in DIR" when the
  // folder is locked by another run.  A folder that cannot be opened for
  // the lock (no read permission) is not locked.
  explicit FolderLock(const std::string& dir);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace dx
