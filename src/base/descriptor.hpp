#pragma once
// A file descriptor closed with its owner.  For the paths where closing
// reports nothing worth stopping for (a folder, a file only read, or one
// abandoned after an earlier failure); a file that was written is closed
// with release() and a checked close, so that its close error is seen.
#include <unistd.h>

#include <utility>

namespace dx {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership: the caller closes it.
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) static_cast<void>(::close(fd_));  // see above: nothing to report here
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace dx
