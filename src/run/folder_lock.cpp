#include "run/folder_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/console.hpp"
#include "base/error.hpp"

namespace dx {
namespace {

// The folder as the user knows it: its absolute path where it can be had.
std::string shown(const std::string& dir) {
  char buf[PATH_MAX];
  return ::realpath(dir.c_str(), buf) != nullptr ? std::string(buf) : dir;
}

}  // namespace

FolderLock::FolderLock(const std::string& dir) {
  fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // flock needs a descriptor opened for reading: a folder that cannot be
  // read is not run in unlocked.
  if (fd_ < 0) throw Error("cannot lock the output folder " + shown(dir) + ": " + std::strerror(errno));
  int r;
  do r = ::flock(fd_, LOCK_EX | LOCK_NB);
  while (r != 0 && errno == EINTR);
  if (r == 0) return;
  const int err = errno;
  if (err == ENOLCK || err == EOPNOTSUPP) {
    // A file system without locks: the run goes on unlocked, and says so.
    try {
      warn("the output folder " + shown(dir) + " cannot be locked (" + std::strerror(err) +
           "); a second run writing there at the same time is not refused");
    } catch (...) {
      static_cast<void>(::close(fd_));
      throw;
    }
    return;
  }
  static_cast<void>(::close(fd_));  // a descriptor of a folder carries nothing to report
  fd_ = -1;
  if (err == EWOULDBLOCK) throw Error("another drought-export run is writing in " + shown(dir));
  throw Error("cannot lock the output folder " + shown(dir) + ": " + std::strerror(err));
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) static_cast<void>(::close(fd_));  // closing drops the lock
}

}  // namespace dx
