#include "support/capture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "support/fs.hpp"

namespace dxtest {
namespace {

// One redirected descriptor, put back by restore() or on destruction.
class Redirect {
 public:
  Redirect(int fd, std::FILE* stream, const std::string& path) : fd_(fd), stream_(stream) {
    if (std::fflush(stream_) != 0) throw std::runtime_error("capture: cannot flush a standard stream");
    saved_ = dup(fd_);
    const int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (saved_ < 0 || f < 0 || dup2(f, fd_) < 0) {
      if (f >= 0) close(f);
      throw std::runtime_error("capture: cannot redirect descriptor " + std::to_string(fd_));
    }
    close(f);
  }
  ~Redirect() { restore(); }
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stream_);
    std::clearerr(stream_);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }

 private:
  int fd_;
  std::FILE* stream_;
  int saved_ = -1;
};

}  // namespace

void capture_stdio(const std::function<void()>& fn, Captured& into) {
  TempDir dir;
  std::exception_ptr failure;
  {
    Redirect out(1, stdout, dir / "out");
    Redirect err(2, stderr, dir / "err");
    try {
      fn();
    } catch (...) {
      failure = std::current_exception();
    }
    err.restore();
    out.restore();
  }
  into.out = read_file(dir / "out");
  into.err = read_file(dir / "err");
  if (failure) std::rethrow_exception(failure);
}

}  // namespace dxtest
