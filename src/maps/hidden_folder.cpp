#include "maps/hidden_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/console.hpp"
#include "base/descriptor.hpp"
#include "base/error.hpp"

namespace dx {

int remove_tree(const FileOps& ops, int dir, const std::string& name) {
  if (ops.unlink(dir, name.c_str()) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  {
    const int fd = ops.open(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
      const int err = errno;
      static_cast<void>(ops.close(fd));  // the failure to read it is the one to report
      return err;
    }
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) entries.emplace_back(e->d_name);
    int err = 0;
    for (const std::string& e : entries)
      if (err == 0) err = remove_tree(ops, ::dirfd(d), e);
    static_cast<void>(::closedir(d));  // read only: nothing to report
    if (err != 0) return err;
  }
  return ops.remove_folder(dir, name.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

void make_folder(const FileOps& ops, const OutputFolder& f, const std::string& name) {
  if (ops.make_folder(f.fd, name.c_str()) != 0) throw Error(output_failure("cannot create", f.shown(name), errno));
}

void write_new_file(const FileOps& ops, const OutputFolder& f, const std::string& name, const std::string& bytes) {
  const std::string path = f.shown(name);
  const int fd = ops.open(f.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw Error(output_failure("cannot create", path, errno));
  const int err = write_fully(ops, fd, bytes.data(), bytes.size());
  if (err != 0) {
    static_cast<void>(ops.close(fd));  // the write failure is the one to report
    throw Error(output_failure("cannot write", path, err));
  }
  if (ops.close(fd) != 0) throw Error(output_failure("cannot close", path, errno));
}

int read_file(int dir, const std::string& name, std::string& bytes) {
  const Descriptor fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat sb;
  if (fd.get() < 0 || ::fstat(fd.get(), &sb) != 0) return errno;
  bytes.resize(static_cast<std::size_t>(std::min<off_t>(sb.st_size, off_t{1} << 28)));
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::read(fd.get(), bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) {
      bytes.resize(at);
      break;
    }
    at += static_cast<std::size_t>(n);
  }
  return 0;
}

void swap_in(const FileOps& ops, const OutputFolder& f, const std::string& fresh, const std::string& final,
             const std::string& old) {
  const auto failed = [&](int err) { return Error(output_failure("cannot replace", f.shown(final), err)); };
  struct stat sb;
  if (::fstatat(f.fd, final.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) throw failed(errno);
    if (ops.rename(f.fd, fresh.c_str(), final.c_str()) != 0) throw failed(errno);
    return;
  }
  if (ops.exchange(f.fd, fresh.c_str(), final.c_str()) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throw failed(errno);
  // Two renames, with no signal between them: the cleanup of a signal
  // would remove the old maps from `old` and the new ones from `fresh`,
  // leaving none.  A signal that comes meanwhile acts after the second.
  const BlockEndingSignals blocked;
  if (ops.rename(f.fd, final.c_str(), old.c_str()) != 0) throw failed(errno);
  if (ops.rename(f.fd, fresh.c_str(), final.c_str()) != 0) {
    const int err = errno;
    static_cast<void>(ops.rename(f.fd, old.c_str(), final.c_str()));  // the old one back; the error says what failed
    throw failed(err);
  }
}

namespace {

// Puts the folder `name`, which cannot be removed, aside under a name of
// its own, so that it stops no later run; that name, or "" if it cannot.
std::string set_aside(const FileOps& ops, int dir, const std::string& name) {
  for (int i = 0; i < 100; ++i) {
    const std::string aside = ".maps-left-" + std::to_string(::getpid()) + "-" + std::to_string(i) + ".dx-tmp";
    struct stat sb;
    if (::fstatat(dir, aside.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0) continue;
    return ops.rename(dir, name.c_str(), aside.c_str()) == 0 ? aside : "";
  }
  return "";
}

}  // namespace

HiddenFolders::HiddenFolders(const FileOps& ops, CleanupList& cleanup, const OutputFolder& f,
                             std::vector<std::string> names)
    : ops_(ops), cleanup_(cleanup), f_(f) {
  try {
    for (std::string& n : names) {
      if (const int err = remove_tree(ops_, f_.fd, n); err != 0) {
        const std::string failure = output_failure("cannot remove", f_.shown(n) + " (left by an earlier run)", err);
        const std::string aside = set_aside(ops_, f_.fd, n);
        if (aside.empty()) throw Error(failure);
        warn(failure + "; it is left as " + f_.shown(aside) + ", to be removed by hand");
      }
      slots_.push_back(cleanup_.add_folder(f_.fd, n));
      names_.push_back(std::move(n));
    }
  } catch (...) {
    for (const int slot : slots_) cleanup_.remove(slot);
    throw;
  }
}

std::string HiddenFolders::remove() noexcept {
  std::string failure;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (const int err = remove_tree(ops_, f_.fd, names_[i]); err != 0) {
      const std::string aside = set_aside(ops_, f_.fd, names_[i]);
      if (failure.empty()) {
        failure = output_failure("cannot remove", f_.shown(names_[i]), err);
        if (!aside.empty()) failure += "; it is left as " + f_.shown(aside) + ", to be removed by hand";
      }
    }
    cleanup_.remove(slots_[i]);
  }
  names_.clear();
  slots_.clear();
  return failure;
}

}  // namespace dx
