#include "run/folder_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

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

FolderLock::FolderLock(const std::string& dir) : folder_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  // flock needs a descriptor opened for reading: a folder that cannot be
  // read is not run in unlocked.
  if (!folder_.valid()) {
    const int err = errno;  // before shown() can change it
    throw Error("cannot lock the output folder " + shown(dir) + ": " + system_reason(err));
  }
  int r;
  do r = ::flock(folder_.get(), LOCK_EX | LOCK_NB);
  while (r != 0 && errno == EINTR);
  if (r == 0) return;
  const int err = errno;
  if (err == ENOLCK || err == EOPNOTSUPP) {
    // A file system without locks: the run goes on unlocked, and says so.
    warn("the output folder " + shown(dir) + " cannot be locked (" + system_reason(err) +
         "); a second run writing there at the same time is not refused");
    return;
  }
  if (err == EWOULDBLOCK) throw Error("another drought-export run is writing in " + shown(dir));
  throw Error("cannot lock the output folder " + shown(dir) + ": " + system_reason(err));
}

}  // namespace dx
