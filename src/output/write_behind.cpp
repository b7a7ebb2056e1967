#include "output/write_behind.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "output/out_file.hpp"
#include "run/error.hpp"

namespace dx {
namespace {

struct Job {
  enum class Kind { Write, Commit, Discard };
  Kind kind = Kind::Write;
  behind::File file;
  std::string owned;  // the bytes, when the job owns them
  const char* data = nullptr;
  std::size_t n = 0;
  Ticket ticket = 0;
};

// At most this many writes wait in the queue; a caller handing over more
// waits, so the memory held by pending output stays small.
constexpr std::size_t kMaxQueuedWrites = 2;
// At most this many output files are open at once: the one being written
// and the one before it, whose last writes, close and rename may still be
// pending.  So a killed run leaves at most two temporary files.
constexpr std::size_t kMaxOpenFiles = 2;
// Buffers kept for reuse: a fresh one of a megabyte costs page faults.
constexpr std::size_t kMaxSpareBuffers = 2;

// At most this many replaced files wait to be let go (see Releaser): they
// still take their room on the disk until then.
constexpr std::size_t kMaxHeldFiles = 4;
constexpr std::size_t kReleaseThreads = 2;

// Lets go of replaced output files on threads of their own.  When a rename
// removes the last name of the previous file of that name, the kernel frees
// that file's blocks within the rename; on a file system mounted with online
// discard it also waits there for the device to discard them, which on a
// virtual disk can take longer than writing the new file.  So the writer
// keeps a reference to the previous file (a path-only descriptor, which
// neither reads it nor opens devices or pipes) across the rename, and hands
// the reference over here: the rename only replaces the name, and the
// blocks are freed while the writer goes on with the next file.  Nothing
// here can change what any name refers to, nor the order of the renames.
class Releaser {
 public:
  Releaser() {
    for (auto& t : threads_) t = std::thread([this] { loop(); });
  }
  ~Releaser() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (auto& t : threads_) t.join();
  }
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

  // Takes over a held reference; waits while kMaxHeldFiles are held.
  void release(int fd) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return held_ < kMaxHeldFiles; });
    ++held_;
    pending_.push_back(fd);
    lock.unlock();
    work_.notify_one();
  }

  // Waits until every reference handed over is let go; true if any was
  // held.
  bool let_go_all() {
    std::unique_lock lock(mutex_);
    if (held_ == 0) return false;
    space_.wait(lock, [&] { return held_ == 0; });
    return true;
  }

  // A reference to the file now at `path`, or -1 where there is none (or
  // none can be had, which only makes the rename free it itself).
  static int hold(const std::string& path) {
    return ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  }
  // Drops a reference at once.  A path-only descriptor carries no data, so
  // its close has nothing to report.
  static void drop(int fd) { static_cast<void>(file_ops().close(fd)); }

 private:
  void loop() {
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

  std::mutex mutex_;
  std::condition_variable work_;   // a reference was handed over, or stop
  std::condition_variable space_;  // a reference was let go
  std::deque<int> pending_;        // handed over, not yet being let go
  std::size_t held_ = 0;           // handed over, not yet let go
  bool stop_ = false;
  // Several, as the device works on several discards at once.
  std::array<std::thread, kReleaseThreads> threads_;  // last: started once everything above exists
};

// Tickets are numbered across all workers, so that a ticket kept from an
// earlier WriteBehind (whose writes are all done) never waits.
std::atomic<Ticket> g_last_ticket{0};

class Worker {
 public:
  Worker() : base_(g_last_ticket.load()), done_(base_), thread_([this] { loop(); }) {}

  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    thread_.join();
  }

  Ticket submit(Job job, bool may_raise) {
    std::unique_lock lock(mutex_);
    if (may_raise) {
      raise_if_failed();
      if (job.kind == Job::Kind::Write) {
        space_.wait(lock, [&] { return queued_writes_ < kMaxQueuedWrites || failed_; });
        raise_if_failed();
      }
    }
    if (job.kind == Job::Kind::Write) ++queued_writes_;
    job.ticket = last_ticket_ = ++g_last_ticket;
    const Ticket t = job.ticket;
    queue_.push_back(std::move(job));
    lock.unlock();
    work_.notify_one();
    return t;
  }

  void wait(Ticket t, bool may_raise) {
    std::unique_lock lock(mutex_);
    if (t <= base_) return;
    done_cv_.wait(lock, [&] { return done_ >= t || (may_raise && failed_); });
    if (may_raise) raise_if_failed();
  }

  void settle(bool may_raise) {
    std::unique_lock lock(mutex_);
    const Ticket t = last_ticket_;
    lock.unlock();
    wait(t, may_raise);
  }

  void reserve_file() {
    std::unique_lock lock(mutex_);
    raise_if_failed();
    space_.wait(lock, [&] { return open_files_ < kMaxOpenFiles || failed_; });
    raise_if_failed();
    ++open_files_;
  }

  void release_file() {
    std::lock_guard lock(mutex_);
    --open_files_;
  }

  std::string take_buffer() {
    std::lock_guard lock(mutex_);
    if (spares_.empty()) return {};
    std::string b = std::move(spares_.back());
    spares_.pop_back();
    return b;
  }

 private:
  void raise_if_failed() {
    if (failed_) throw Error(error_);
  }

  void loop() {
    bool failed = false;  // the thread's own view of failed_
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      std::optional<std::string> failure;
      if (failed) {
        skip(job);
      } else {
        try {
          failure = carry_out(job);
        } catch (const std::bad_alloc&) {
          // Only composing a message allocates; the file is then given up.
          remove_temp(*job.file);
          failure = "out of memory";
        }
      }
      {
        std::lock_guard lock(mutex_);
        if (failure) {
          failed = failed_ = true;
          error_ = std::move(*failure);
        }
        if (job.kind == Job::Kind::Write) --queued_writes_;
        else --open_files_;  // a commit or discard ends the file
        if (job.owned.capacity() > 0 && spares_.size() < kMaxSpareBuffers) {
          job.owned.clear();
          spares_.push_back(std::move(job.owned));
        }
        done_ = job.ticket;
      }
      space_.notify_all();
      done_cv_.notify_all();
    }
  }

  static void close_file(behind::FileState& f) {
    if (!f.closed) {
      file_ops().close(f.fd);
      f.closed = true;
    }
  }

  static void remove_temp(behind::FileState& f) {
    close_file(f);
    if (!f.removed) file_ops().unlink(f.temp.c_str());
    f.removed = true;
  }

  // After a failure nothing more is written: a file is only removed.
  static void skip(Job& job) {
    if (job.kind != Job::Kind::Write) remove_temp(*job.file);
  }

  // Carries out a job; on failure removes the file's temporary file and
  // returns the message.
  std::optional<std::string> carry_out(Job& job) {
    behind::FileState& f = *job.file;
    const char* what = "cannot write";
    int err = 0;
    switch (job.kind) {
      case Job::Kind::Write: {
        const char* data = job.owned.empty() ? job.data : job.owned.data();
        const std::size_t n = job.owned.empty() ? job.n : job.owned.size();
        std::size_t done = 0;
        err = write_fully(f.fd, data, n, &done);
        // Replaced files not yet let go still take their room: on a full
        // disk the rest is tried once more after they are gone, so that a
        // run fits wherever it fitted with every file freed at its rename.
        if (err == ENOSPC && releaser_.let_go_all()) err = write_fully(f.fd, data + done, n - done);
        break;
      }
      case Job::Kind::Commit: {
        f.closed = true;
        const int previous = Releaser::hold(f.path);
        err = close_and_replace(f.fd, f.temp, f.path, what);
        if (previous >= 0) {
          if (err == 0) releaser_.release(previous);
          else Releaser::drop(previous);  // nothing was replaced
        }
        break;
      }
      case Job::Kind::Discard:
        remove_temp(f);
        break;
    }
    if (err == 0) return std::nullopt;
    remove_temp(f);
    return output_failure(what, f.path, err);
  }

  std::mutex mutex_;
  std::condition_variable work_;     // a job was queued, or stop
  std::condition_variable space_;    // a queued write was carried out
  std::condition_variable done_cv_;  // a job was carried out
  std::deque<Job> queue_;
  std::vector<std::string> spares_;
  std::size_t queued_writes_ = 0;
  std::size_t open_files_ = 0;
  const Ticket base_;  // the last ticket before this worker
  Ticket done_;
  Ticket last_ticket_ = base_;
  bool stop_ = false;
  bool failed_ = false;
  std::string error_;
  Releaser releaser_;   // outlives the thread below, which hands over to it
  std::thread thread_;  // last: started once everything above exists
};

// The worker of this thread's WriteBehind object, if any.
thread_local Worker* t_worker = nullptr;

Worker& worker() {
  if (t_worker == nullptr) throw Error("write-behind used without an active WriteBehind");
  return *t_worker;
}

}  // namespace

WriteBehind::WriteBehind() {
  if (t_worker != nullptr) throw Error("write-behind is already active in this thread");
  t_worker = new Worker();
}

WriteBehind::~WriteBehind() {
  t_worker->settle(false);
  delete t_worker;
  t_worker = nullptr;
}

void WriteBehind::settle() { t_worker->settle(true); }

namespace behind {

bool active() { return t_worker != nullptr; }

void write_owned(const File& f, std::string&& bytes) {
  Job job;
  job.file = f;
  job.owned = std::move(bytes);
  worker().submit(std::move(job), true);
}

Ticket write_view(const File& f, const char* data, std::size_t n) {
  Job job;
  job.file = f;
  job.data = data;
  job.n = n;
  return worker().submit(std::move(job), true);
}

void commit(const File& f) {
  Job job;
  job.kind = Job::Kind::Commit;
  job.file = f;
  worker().submit(std::move(job), true);
}

void discard(const File& f) noexcept {
  if (t_worker == nullptr) return;
  Job job;
  job.kind = Job::Kind::Discard;
  job.file = f;
  try {
    t_worker->wait(t_worker->submit(std::move(job), false), false);
  } catch (...) {
    // Only an allocation in the queue can throw here; the temporary file
    // then stays, as after a killed run.
  }
}

void wait(Ticket ticket) {
  // Without a worker every write handed over is done.
  if (ticket != 0 && t_worker != nullptr) t_worker->wait(ticket, true);
}

void settle() { worker().settle(true); }

std::string take_buffer() { return worker().take_buffer(); }

void reserve_file() { worker().reserve_file(); }

void release_file() noexcept {
  if (t_worker != nullptr) t_worker->release_file();
}

}  // namespace behind
}  // namespace dx
