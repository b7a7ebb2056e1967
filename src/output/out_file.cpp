#include "output/out_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <memory>

#include "run/error.hpp"

namespace dx {
namespace {

int sys_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

const FileOps kSystemOps{sys_open, ::write, ::close, ::rename, ::unlink};

// Room for a full buffer and the text appended before the next flush check.
constexpr std::size_t kBufferCapacity = OutFile::kBufferSize + (OutFile::kBufferSize >> 2);

}  // namespace

const FileOps& system_file_ops() { return kSystemOps; }

int write_fully(int fd, const char* data, std::size_t n, std::size_t* written) {
  if (written != nullptr) *written = 0;
  while (n > 0) {
    const ssize_t k = file_ops().write(fd, data, n);
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

int close_and_replace(int fd, const std::string& temp, const std::string& path, const char*& what) {
  what = "cannot close";
  if (file_ops().close(fd) != 0) return errno ? errno : EIO;
  what = "cannot replace";
  if (file_ops().rename(temp.c_str(), path.c_str()) != 0) return errno ? errno : EIO;
  return 0;
}

std::string output_failure(const char* what, const std::string& path, int err) {
  return std::string(what) + " " + path + ": " + std::strerror(err ? err : EIO);
}

FileOps& file_ops() {
  static FileOps ops = kSystemOps;
  return ops;
}

OutFile::OutFile(std::string path) : path_(std::move(path)), temp_(path_ + std::string(TEMP_SUFFIX)) {
  // A temporary file left by a run that was killed is removed, not
  // reopened: it may since have become a second name of another file (a
  // hard-linked backup of the folder) or a symbolic link, and writing
  // through it would change that file.  The new one is always a fresh file.
  const bool writing_behind = behind::active();
  if (writing_behind) behind::reserve_file();
  if ((file_ops().unlink(temp_.c_str()) != 0 && errno != ENOENT) ||
      (fd_ = file_ops().open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)) < 0) {
    const int err = errno;
    if (writing_behind) behind::release_file();
    fail("cannot create", err);
  }
  if (writing_behind) {
    behind_ = std::make_shared<behind::FileState>();
    behind_->fd = fd_;
    behind_->path = path_;
    behind_->temp = temp_;
    fd_ = -1;
    buf_ = behind::take_buffer();
  }
  buf_.reserve(kBufferCapacity);
}

OutFile::~OutFile() {
  if (!committed_) discard();
}

void OutFile::discard() noexcept {
  if (behind_) {
    behind::discard(behind_);
    return;
  }
  if (fd_ >= 0) {
    file_ops().close(fd_);
    fd_ = -1;
  }
  file_ops().unlink(temp_.c_str());
}

void OutFile::fail(const char* what, int err) {
  const std::string message = output_failure(what, path_, err);
  discard();
  committed_ = true;  // nothing left to clean up
  // When writing behind, a failure of a file handed over earlier comes
  // first, as it would have with direct writes.
  if (behind::active()) behind::settle();
  throw Error(message);
}

void OutFile::write_all(const char* data, std::size_t n) {
  if (const int err = write_fully(fd_, data, n)) fail("cannot write", err);
}

void OutFile::write(const char* data, std::size_t n) {
  if (buf_.size() + n > kBufferSize) {
    flush();
    if (n >= kBufferSize) {
      // The caller's bytes are free again on return.
      wait(write_shared(data, n));
      return;
    }
  }
  buf_.append(data, n);
}

Ticket OutFile::write_shared(const char* data, std::size_t n) {
  flush();
  if (behind_) return n > 0 ? behind::write_view(behind_, data, n) : 0;
  write_all(data, n);
  return 0;
}

void OutFile::flush() {
  if (buf_.empty()) return;
  if (behind_) {
    behind::write_owned(behind_, std::move(buf_));
    buf_ = behind::take_buffer();  // empty, recycled where one is spare
    buf_.reserve(kBufferCapacity);
    return;
  }
  write_all(buf_.data(), buf_.size());
  buf_.clear();
}

void OutFile::commit() {
  flush();
  if (behind_) {
    behind::commit(behind_);
    committed_ = true;
    return;
  }
  const int fd = fd_;
  fd_ = -1;
  const char* what = nullptr;
  if (const int err = close_and_replace(fd, temp_, path_, what)) fail(what, err);
  committed_ = true;
}

}  // namespace dx
