#include "output/releaser.hpp"

namespace dx {

Releaser::Releaser(const FileOps& ops) : ops_(ops) {
  try {
    for (auto& t : threads_) t = std::thread([this] { loop(); });
  } catch (...) {
    stop();  // the threads already started end; then the failure is passed on
    throw;
  }
}

Releaser::~Releaser() { stop(); }

void Releaser::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

void Releaser::release(int fd) {
  std::unique_lock lock(mutex_);
  space_.wait(lock, [&] { return held_ < kMaxHeld; });
  ++held_;
  pending_.push_back(fd);
  lock.unlock();
  work_.notify_one();
}

void Releaser::let_go_all() {
  std::unique_lock lock(mutex_);
  space_.wait(lock, [&] { return held_ == 0; });
}

void Releaser::loop() {
  for (;;) {
    int fd;
    {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [&] { return stop_ || !pending_.empty(); });
      if (pending_.empty()) return;  // stopped, and everything let go
      fd = pending_.front();
      pending_.pop_front();
    }
    drop(fd);
    {
      std::lock_guard lock(mutex_);
      --held_;
    }
    space_.notify_all();
  }
}

}  // namespace dx
