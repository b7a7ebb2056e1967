#include "output/atomic_file.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "base/error.hpp"

namespace dx {
namespace {

// Runs `step` (0 or an error number); when it finds the disk full and
// there is a way to make room, makes it and runs `step` once more.
template <class Step>
int with_room(const MakeRoom& room, Step step) {
  int err = step();
  if ((err == ENOSPC || err == EDQUOT) && room) {
    room();
    err = step();
  }
  return err;
}

}  // namespace

AtomicFile::AtomicFile(const FileOps& ops, int folder, const std::string& path, CleanupList& cleanup,
                       const MakeRoom& room)
    : ops_(ops), folder_(folder), path_(path), cleanup_(cleanup) {
  const std::size_t slash = path.rfind('/');
  name_ = folder == AT_FDCWD || slash == std::string::npos ? path : path.substr(slash + 1);
  temp_name_ = name_ + std::string(kTempSuffix);
  // Registered before it exists, so that a signal never finds a temporary
  // file it does not know of.
  slot_ = cleanup_.add_file(folder_, temp_name_);
  try {
    create(room);
  } catch (...) {
    cleanup_.remove(slot_);
    throw;
  }
}

void AtomicFile::create(const MakeRoom& room) {
  // A temporary file left by a run that was killed is removed, not
  // reopened: it may since have become a second name of another file (a
  // hard-linked backup of the folder) or a symbolic link, and writing
  // through it would change that file.  The new one is always a fresh file.
  if (ops_.unlink(folder_, temp_name_.c_str()) != 0 && errno != ENOENT) {
    const int err = errno;
    // Something at the temporary name that cannot be removed is what is in
    // the way; otherwise it is the folder (read-only, a name too long, ...)
    // that keeps the output from being created.
    struct stat sb {};
    const bool there = ::fstatat(folder_, temp_name_.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0;
    throw Error(output_failure("cannot create", there ? path_ + std::string(kTempSuffix) : path_, err));
  }
  const int err = with_room(room, [this] { return open_temp(); });
  if (err != 0) throw Error(output_failure("cannot create", path_, err));
}

int AtomicFile::open_temp() {
  fd_ = ops_.open(folder_, temp_name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  return fd_ < 0 ? (errno ? errno : EIO) : 0;
}

void AtomicFile::write(const char* data, std::size_t n, const MakeRoom& room) {
  std::size_t done = 0;
  const int err = with_room(room, [&] {
    std::size_t written = 0;
    const int e = write_fully(ops_, fd_, data + done, n - done, &written);
    done += written;
    return e;
  });
  if (err != 0) fail("cannot write", path_, err);
}

void AtomicFile::commit(Releaser* releaser) {
  ops_.copy_mode(folder_, name_.c_str(), fd_);
  const int previous = releaser != nullptr ? releaser->hold(folder_, name_) : -1;
  const char* what = "cannot close";
  const int err = close_and_replace(ops_, fd_, folder_, temp_name_, name_, what);
  fd_ = -1;  // closed either way
  if (err == 0) {
    done_ = true;
    cleanup_.remove(slot_);
  }
  if (previous >= 0) {
    if (err == 0) releaser->release(previous);
    else releaser->drop(previous);  // nothing was replaced
  }
  if (err != 0) fail(what, path_, err);
}

void AtomicFile::discard() noexcept {
  if (done_) return;
  if (fd_ >= 0) static_cast<void>(ops_.close(fd_));  // the file is removed: its close has nothing to keep
  fd_ = -1;
  static_cast<void>(ops_.unlink(folder_, temp_name_.c_str()));
  done_ = true;
  cleanup_.remove(slot_);
}

void AtomicFile::fail(const char* what, const std::string& shown, int err) {
  discard();
  throw Error(output_failure(what, shown, err));
}

}  // namespace dx
