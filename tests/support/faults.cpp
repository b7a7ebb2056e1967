#include "support/faults.hpp"

#include "run/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <cstring>
#include <unistd.h>

namespace dxtest {

const char* fault_name(Fault f) {
  switch (f) {
    case Fault::OpenDenied: return "OpenDenied";
    case Fault::WriteNoSpace: return "WriteNoSpace";
    case Fault::WriteReturnsZero: return "WriteReturnsZero";
    case Fault::CloseFails: return "CloseFails";
    case Fault::RenameFails: return "RenameFails";
  }
  return "?";
}

namespace {

// State of the installed fault; the replacement calls are plain functions.
// A file is faulty when it is created after the first `skip_files` ones;
// its descriptor and temporary name are remembered, so that the fault hits
// that file's own writes, close and rename even when they are carried out
// on another thread while later files are being created.
struct FaultState {
  Fault fault = Fault::OpenDenied;
  std::size_t budget = 0;  // bytes that writes may still move
  int skip_files = 0;      // files opened before the fault applies
  int opened = 0;
  std::set<int> fds;           // open faulty files
  std::set<std::string> paths;  // their names
};
std::mutex g_mutex;
FaultState g_fault;

bool faulty_fd(int fd) {
  std::lock_guard lock(g_mutex);
  return g_fault.fds.count(fd) > 0;
}

int faulty_open(const char* path, int flags, mode_t mode) {
  std::lock_guard lock(g_mutex);
  const bool faulty = ++g_fault.opened > g_fault.skip_files;
  if (faulty && g_fault.fault == Fault::OpenDenied) {
    errno = EACCES;
    return -1;
  }
  const int fd = dx::system_file_ops().open(path, flags, mode);
  if (faulty && fd >= 0) {
    g_fault.fds.insert(fd);
    g_fault.paths.insert(path);
  }
  return fd;
}

ssize_t faulty_write(int fd, const void* buf, std::size_t n) {
  const bool write_fault = g_fault.fault == Fault::WriteNoSpace || g_fault.fault == Fault::WriteReturnsZero;
  if (!write_fault || !faulty_fd(fd)) return dx::system_file_ops().write(fd, buf, n);
  std::lock_guard lock(g_mutex);
  if (g_fault.budget == 0) {
    if (g_fault.fault == Fault::WriteReturnsZero) return 0;
    errno = ENOSPC;
    return -1;
  }
  const std::size_t k = n < g_fault.budget ? n : g_fault.budget;
  const ssize_t r = dx::system_file_ops().write(fd, buf, k);
  if (r > 0) g_fault.budget -= static_cast<std::size_t>(r);
  return r;
}

int faulty_close(int fd) {
  bool faulty = false;
  {
    std::lock_guard lock(g_mutex);
    faulty = g_fault.fds.erase(fd) > 0;
  }
  const int r = dx::system_file_ops().close(fd);
  if (faulty && g_fault.fault == Fault::CloseFails) {
    errno = EIO;
    return -1;
  }
  return r;
}

int faulty_rename(const char* from, const char* to) {
  bool faulty = false;
  {
    std::lock_guard lock(g_mutex);
    faulty = g_fault.paths.count(from) > 0;
  }
  if (faulty && g_fault.fault == Fault::RenameFails) {
    errno = EXDEV;
    return -1;
  }
  return dx::system_file_ops().rename(from, to);
}

std::size_t g_chunk = 1;
bool g_interrupt_next = true;

ssize_t choppy_write(int fd, const void* buf, std::size_t n) {
  g_interrupt_next = !g_interrupt_next;
  if (!g_interrupt_next) {
    errno = EINTR;
    return -1;
  }
  return dx::system_file_ops().write(fd, buf, n < g_chunk ? n : g_chunk);
}

}  // namespace

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
    if (name.size() >= dx::TEMP_SUFFIX.size() && name.ends_with(dx::TEMP_SUFFIX)) found.push_back(name);
  return found;
}

InjectedFault::InjectedFault(Fault fault, std::size_t budget, int skip_files) : saved_(dx::file_ops()) {
  {
    std::lock_guard lock(g_mutex);
    g_fault = FaultState{fault, budget, skip_files, 0, {}, {}};
  }
  dx::FileOps& ops = dx::file_ops();
  ops.open = faulty_open;
  ops.write = faulty_write;
  ops.close = faulty_close;
  ops.rename = faulty_rename;
}

InjectedFault::~InjectedFault() { dx::file_ops() = saved_; }

ChoppyWrites::ChoppyWrites(std::size_t chunk) : saved_(dx::file_ops()) {
  g_chunk = chunk == 0 ? 1 : chunk;
  g_interrupt_next = true;
  dx::file_ops().write = choppy_write;
}

ChoppyWrites::~ChoppyWrites() { dx::file_ops() = saved_; }

}  // namespace dxtest
