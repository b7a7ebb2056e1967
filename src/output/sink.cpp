#include "output/sink.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "base/error.hpp"

namespace dx {
namespace {

// At most this many writes wait in the queue; a caller handing over more
// waits, so the memory held by pending output stays small.
constexpr std::size_t kMaxQueuedWrites = 2;
// At most this many output files are open at once when writing behind: the
// one being written and the one before it, whose last writes, close and
// rename may still be pending.  So a killed run leaves at most two
// temporary files.
constexpr std::size_t kMaxOpenFiles = 2;
// Buffers kept for reuse: a fresh one of a megabyte costs page faults.
constexpr std::size_t kMaxSpareBuffers = 2;

}  // namespace

OutputSink::OutputSink(Mode mode, const FileOps& ops, int folder)
    : ops_(ops), folder_(folder), behind_(mode == Mode::Behind) {
  if (!behind_) return;
  // The helper threads take none of the signals that end a run: they are
  // handled on the calling thread, which creates every temporary file
  // (see SignalCleanup).  Changing the mask of the own thread with valid
  // arguments cannot fail.
  sigset_t ending, previous;
  sigemptyset(&ending);
  for (const int sig : kEndingSignals) sigaddset(&ending, sig);
  static_cast<void>(pthread_sigmask(SIG_BLOCK, &ending, &previous));
  try {
    releaser_.emplace(ops_);
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    // No thread to be had (a process limit, or no memory for its stack):
    // the files are written directly instead, with the same bytes.
    releaser_.reset();
    behind_ = false;
  }
  static_cast<void>(pthread_sigmask(SIG_SETMASK, &previous, nullptr));
}

OutputSink::~OutputSink() {
  if (!behind_) return;
  settle(false);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  thread_.join();
}

void OutputSink::settle() { settle(true); }

std::string OutputSink::name_in_folder(const std::string& path) const {
  if (folder_ == AT_FDCWD) return path;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

OutputHandle OutputSink::create(const std::string& path) {
  auto f = std::make_shared<OpenOutput>();
  f->path = path;
  f->temp = path + std::string(kTempSuffix);
  f->name = name_in_folder(path);
  f->temp_name = f->name + std::string(kTempSuffix);
  if (behind_) {
    std::unique_lock lock(mutex_);
    raise_if_failed();
    space_.wait(lock, [&] { return open_files_ < kMaxOpenFiles || failed_; });
    raise_if_failed();
    ++open_files_;
  }
  // Registered before it exists, so that a signal never finds a temporary
  // file it does not know of.
  f->slot = temps_.add(folder_, f->temp_name);
  std::string failure;
  // A temporary file left by a run that was killed is removed, not
  // reopened: it may since have become a second name of another file (a
  // hard-linked backup of the folder) or a symbolic link, and writing
  // through it would change that file.  The new one is always a fresh file.
  if (ops_.unlink(folder_, f->temp_name.c_str()) != 0 && errno != ENOENT) {
    const int err = errno;
    // Something at the temporary name that cannot be removed is what is in
    // the way; otherwise it is the folder (read-only, a name too long, ...)
    // that keeps the output from being created.
    struct stat sb {};
    const bool there = ::fstatat(folder_, f->temp_name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0;
    failure = output_failure("cannot create", there ? f->temp : path, err);
  } else {
    int err = open_temp(*f);
    // Replaced files not yet let go still take their room, inodes too:
    // with no room for the file, it is tried once more after they are gone.
    if ((err == ENOSPC || err == EDQUOT) && behind_) {
      try {
        settle(true);  // the files handed over so far are renamed, their predecessors held
        releaser_->let_go_all();
        err = open_temp(*f);
      } catch (const Error& e) {
        failure = e.what();  // an earlier file failed: that is the failure to report
      }
    }
    if (err != 0 && failure.empty()) failure = output_failure("cannot create", path, err);
  }
  if (!failure.empty()) {
    temps_.remove(f->slot);
    if (behind_) {
      {
        std::lock_guard lock(mutex_);
        --open_files_;
      }
      // A failure of a file handed over earlier comes first, as it would
      // have with direct writes.
      settle(true);
    }
    throw Error(failure);
  }
  return f;
}

int OutputSink::open_temp(OpenOutput& f) {
  f.fd = ops_.open(folder_, f.temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  return f.fd < 0 ? (errno ? errno : EIO) : 0;
}

void OutputSink::write_owned(const OutputHandle& f, std::string&& bytes) {
  Job job;
  job.file = f;
  job.owned = std::move(bytes);
  submit(std::move(job), true);
}

Ticket OutputSink::write_view(const OutputHandle& f, const char* data, std::size_t n) {
  if (n == 0) return 0;
  Job job;
  job.file = f;
  job.data = data;
  job.n = n;
  return submit(std::move(job), true);
}

void OutputSink::commit(const OutputHandle& f) {
  Job job;
  job.kind = Job::Kind::Commit;
  job.file = f;
  submit(std::move(job), true);
}

void OutputSink::discard(const OutputHandle& f) noexcept {
  if (!behind_) {
    remove_temp(*f);
    return;
  }
  Job job;
  job.kind = Job::Kind::Discard;
  job.file = f;
  try {
    wait_for(submit(std::move(job), false), false);
  } catch (...) {
    // Only an allocation in the queue can throw here; the temporary file
    // then stays, as after a killed run.
  }
}

void OutputSink::wait(Ticket ticket) { wait_for(ticket, true); }

std::string OutputSink::take_buffer() {
  std::lock_guard lock(mutex_);
  if (spares_.empty()) return {};
  std::string b = std::move(spares_.back());
  spares_.pop_back();
  return b;
}

char* OutputSink::reusable(std::size_t slot, std::size_t size) {
  Reusable& r = reusable_.at(slot);
  wait(r.written);
  r.written = 0;
  if (r.bytes.size() < size) {
    std::vector<char>().swap(r.bytes);
    r.bytes.resize(size);
  }
  return r.bytes.data();
}

void OutputSink::write_reusable(const OutputHandle& f, std::size_t slot, std::size_t n) {
  Reusable& r = reusable_.at(slot);
  r.written = write_view(f, r.bytes.data(), n);
}

Ticket OutputSink::submit(Job job, bool may_raise) {
  if (!behind_) {
    std::optional<std::string> failure;
    try {
      failure = carry_out(job);
    } catch (const std::bad_alloc&) {
      remove_temp(*job.file);
      throw;
    }
    recycle(std::move(job.owned));
    if (failure) throw Error(*failure);
    return 0;
  }
  std::unique_lock lock(mutex_);
  if (may_raise) {
    raise_if_failed();
    if (job.kind == Job::Kind::Write) {
      space_.wait(lock, [&] { return queued_writes_ < kMaxQueuedWrites || failed_; });
      raise_if_failed();
    }
  }
  if (job.kind == Job::Kind::Write) ++queued_writes_;
  job.ticket = ++last_ticket_;
  const Ticket t = job.ticket;
  queue_.push_back(std::move(job));
  lock.unlock();
  work_.notify_one();
  return t;
}

void OutputSink::wait_for(Ticket t, bool may_raise) {
  if (t == 0) return;
  std::unique_lock lock(mutex_);
  done_cv_.wait(lock, [&] { return done_ >= t || (may_raise && failed_); });
  if (may_raise) raise_if_failed();
}

void OutputSink::settle(bool may_raise) {
  if (!behind_) return;
  std::unique_lock lock(mutex_);
  const Ticket t = last_ticket_;
  lock.unlock();
  wait_for(t, may_raise);
}

void OutputSink::raise_if_failed() {
  if (failed_) throw Error(error_);
}

void OutputSink::recycle(std::string&& buffer) {
  if (buffer.capacity() == 0) return;
  std::lock_guard lock(mutex_);
  if (spares_.size() < kMaxSpareBuffers) {
    buffer.clear();
    spares_.push_back(std::move(buffer));
  }
}

void OutputSink::loop() {
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
    recycle(std::move(job.owned));
    {
      std::lock_guard lock(mutex_);
      if (failure) {
        failed = failed_ = true;
        error_ = std::move(*failure);
      }
      if (job.kind == Job::Kind::Write) --queued_writes_;
      else --open_files_;  // a commit or discard ends the file
      done_ = job.ticket;
    }
    space_.notify_all();
    done_cv_.notify_all();
  }
}

void OutputSink::close_file(OpenOutput& f) {
  if (!f.closed) {
    ops_.close(f.fd);
    f.closed = true;
  }
}

void OutputSink::remove_temp(OpenOutput& f) {
  close_file(f);
  if (!f.removed) ops_.unlink(folder_, f.temp_name.c_str());
  f.removed = true;
  temps_.remove(f.slot);
}

// After a failure nothing more is written: a file is only removed.
void OutputSink::skip(Job& job) {
  if (job.kind != Job::Kind::Write) remove_temp(*job.file);
}

// Carries out a job; on failure removes the file's temporary file and
// returns the message.
std::optional<std::string> OutputSink::carry_out(Job& job) {
  OpenOutput& f = *job.file;
  const char* what = "cannot write";
  int err = 0;
  switch (job.kind) {
    case Job::Kind::Write: {
      const char* data = job.owned.empty() ? job.data : job.owned.data();
      const std::size_t n = job.owned.empty() ? job.n : job.owned.size();
      std::size_t done = 0;
      err = write_fully(ops_, f.fd, data, n, &done);
      // Replaced files not yet let go still take their room: on a full
      // disk the rest is tried once more after they are gone, so that a
      // run fits wherever it fitted with every file freed at its rename.
      // (Once more also when they were let go meanwhile, before the wait.)
      if (err == ENOSPC && releaser_) {
        releaser_->let_go_all();
        err = write_fully(ops_, f.fd, data + done, n - done);
      }
      break;
    }
    case Job::Kind::Commit: {
      ops_.copy_mode(folder_, f.name.c_str(), f.fd);
      f.closed = true;
      const int previous = releaser_ ? releaser_->hold(folder_, f.name) : -1;
      err = close_and_replace(ops_, f.fd, folder_, f.temp_name, f.name, what);
      if (err == 0) temps_.remove(f.slot);
      if (previous >= 0) {
        if (err == 0) releaser_->release(previous);
        else releaser_->drop(previous);  // nothing was replaced
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

}  // namespace dx
