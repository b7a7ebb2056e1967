#include "support/faults.hpp"

#include "base/error.hpp"
#include "output/sink.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>
#include <mutex>
#include <set>
#include <cstring>
#include <unistd.h>

namespace dxtest {

const char* fault_name(Fault f) {
  switch (f) {
    case Fault::None: return "None";
    case Fault::OpenDenied: return "OpenDenied";
    case Fault::WriteNoSpace: return "WriteNoSpace";
    case Fault::WriteReturnsZero: return "WriteReturnsZero";
    case Fault::NoSpaceOnce: return "NoSpaceOnce";
    case Fault::CloseFails: return "CloseFails";
    case Fault::RenameFails: return "RenameFails";
  }
  return "?";
}

int InjectedFault::open(int dir, const char* path, int flags, mode_t mode) const {
  std::lock_guard lock(mutex_);
  const bool faulty = ++opened_ > skip_files_;
  if (faulty && fault_ == Fault::OpenDenied) {
    errno = EACCES;
    return -1;
  }
  const int fd = FileOps::open(dir, path, flags, mode);
  if (faulty && fd >= 0) {
    fds_.insert(fd);
    paths_.insert(path);
  }
  return fd;
}

ssize_t InjectedFault::write(int fd, const void* buf, std::size_t n) const {
  std::unique_lock lock(mutex_);
  const bool write_fault = fault_ == Fault::WriteNoSpace || fault_ == Fault::WriteReturnsZero ||
                           (fault_ == Fault::NoSpaceOnce && !spent_);
  if (!write_fault || fds_.count(fd) == 0) {
    lock.unlock();
    return FileOps::write(fd, buf, n);
  }
  if (budget_ == 0) {
    if (fault_ == Fault::WriteReturnsZero) return 0;
    spent_ = true;
    errno = ENOSPC;
    return -1;
  }
  const std::size_t k = n < budget_ ? n : budget_;
  const ssize_t r = FileOps::write(fd, buf, k);
  if (r > 0) budget_ -= static_cast<std::size_t>(r);
  return r;
}

int InjectedFault::close(int fd) const {
  bool faulty = false;
  {
    std::lock_guard lock(mutex_);
    faulty = fds_.erase(fd) > 0;
  }
  const int r = FileOps::close(fd);
  if (faulty && fault_ == Fault::CloseFails) {
    errno = EIO;
    return -1;
  }
  return r;
}

int InjectedFault::rename(int dir, const char* from, const char* to) const {
  bool faulty = false;
  {
    std::lock_guard lock(mutex_);
    faulty = paths_.count(from) > 0;
  }
  if (faulty && fault_ == Fault::RenameFails) {
    errno = EXDEV;
    return -1;
  }
  return FileOps::rename(dir, from, to);
}

int HeldRename::rename(int dir, const char* from, const char* to) const {
  if (std::string_view(to).ends_with(name_)) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_);
    while (!overtaken_ && std::chrono::steady_clock::now() < end) {
      if (until_()) overtaken_ = true;
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return FileOps::rename(dir, from, to);
}

ssize_t ChoppyWrites::write(int fd, const void* buf, std::size_t n) const {
  {
    std::lock_guard lock(mutex_);
    interrupt_next_ = !interrupt_next_;
    if (!interrupt_next_) {
      errno = EINTR;
      return -1;
    }
  }
  return FileOps::write(fd, buf, n < chunk_ ? n : chunk_);
}

std::string error_of(const std::function<void()>& write) {
  try {
    write();
  } catch (const dx::Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "the write succeeded, but it should have failed";
  return {};
}

std::vector<std::string> temp_files_in(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : list_dir(dir))
    if (name.size() >= dx::kTempSuffix.size() && name.ends_with(dx::kTempSuffix)) found.push_back(name);
  return found;
}

}  // namespace dxtest
