#include "output/file_ops.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error.hpp"

namespace dx {

int FileOps::open(int dir, const char* name, int flags, mode_t mode) const { return ::openat(dir, name, flags, mode); }
ssize_t FileOps::write(int fd, const void* buf, std::size_t n) const { return ::write(fd, buf, n); }
int FileOps::close(int fd) const { return ::close(fd); }
int FileOps::rename(int dir, const char* from, const char* to) const { return ::renameat(dir, from, dir, to); }
int FileOps::unlink(int dir, const char* name) const { return ::unlinkat(dir, name, 0); }
int FileOps::make_folder(int dir, const char* name) const { return ::mkdirat(dir, name, 0777); }
int FileOps::remove_folder(int dir, const char* name) const { return ::unlinkat(dir, name, AT_REMOVEDIR); }
int FileOps::exchange(int dir, const char* a, const char* b) const {
  return ::renameat2(dir, a, dir, b, RENAME_EXCHANGE);
}
void FileOps::copy_mode(int dir, const char* name, int fd) const {
  struct stat old {};
  if (::fstatat(dir, name, &old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old.st_mode)) return;
  // Owner first: a change of owner may clear the set-id bits that the
  // mode then sets.  Either may be refused (EPERM) without harm.
  // (A cast to void does not quiet a result that glibc marks as not to be
  // ignored, as it marks fchown under _FORTIFY_SOURCE.)
  [[maybe_unused]] const int chowned = ::fchown(fd, old.st_uid, old.st_gid);
  static_cast<void>(::fchmod(fd, old.st_mode & 07777));
}

int FileOps::hold(int dir, const char* name) const { return ::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC); }

const FileOps& system_file_ops() {
  static const FileOps ops;
  return ops;
}

int write_fully(const FileOps& ops, int fd, const char* data, std::size_t n, std::size_t* written) {
  if (written != nullptr) *written = 0;
  while (n > 0) {
    const ssize_t k = ops.write(fd, data, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      return errno ? errno : EIO;
    }
    if (k == 0) return ENOSPC;
    data += k;
    n -= static_cast<std::size_t>(k);
    if (written != nullptr) *written += static_cast<std::size_t>(k);
  }
  return 0;
}

int close_and_replace(const FileOps& ops, int fd, int dir, const std::string& temp, const std::string& name,
                      const char*& what) {
  what = "cannot close";
  if (ops.close(fd) != 0) return errno ? errno : EIO;
  what = "cannot replace";
  if (ops.rename(dir, temp.c_str(), name.c_str()) != 0) return errno ? errno : EIO;
  return 0;
}

std::string output_failure(const char* what, const std::string& path, int err) {
  return std::string(what) + " " + path + ": " + system_reason(err);
}

}  // namespace dx
