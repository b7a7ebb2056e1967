#include "output/write_behind.hpp"

#include <new>
#include <utility>

#include "base/error.hpp"

namespace dx {
namespace {

// At most this many writes wait in the queue; a caller handing over more
// waits, so the memory held by pending output stays small.
constexpr std::size_t kMaxQueuedWrites = 2;
// At most this many output files are open at once: the one being written
// and the one before it, whose last writes, close and rename may still be
// pending.  So a killed run leaves at most two temporary files.
constexpr std::size_t kMaxOpenFiles = 2;

}  // namespace

WriteBehind::WriteBehind(const FileOps& ops, int folder)
    : OutputSink(ops, folder), releaser_(ops), thread_([this] { loop(); }) {}

WriteBehind::~WriteBehind() {
  settle(false);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  thread_.join();
}

OutputHandle WriteBehind::create(const std::string& path) {
  {
    std::unique_lock lock(mutex_);
    raise_if_failed();
    space_.wait(lock, [&] { return open_files_ < kMaxOpenFiles || failed_; });
    raise_if_failed();
    ++open_files_;
  }
  try {
    // Replaced files not yet let go still take their room, inodes too.
    return std::make_shared<AtomicFile>(ops_, folder_, path, cleanup_, [this] {
      settle(true);  // the files handed over so far are renamed, their predecessors held
      releaser_.let_go_all();
    });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      --open_files_;
    }
    // A failure of a file handed over earlier comes first, as it would
    // have with direct writes.
    settle(true);
    throw;
  }
}

void WriteBehind::write_owned(const OutputHandle& f, std::string&& bytes) {
  Job job;
  job.file = f;
  job.owned = std::move(bytes);
  submit(std::move(job), true);
}

Ticket WriteBehind::write_view(const OutputHandle& f, const char* data, std::size_t n) {
  if (n == 0) return 0;
  Job job;
  job.file = f;
  job.data = data;
  job.n = n;
  return submit(std::move(job), true);
}

void WriteBehind::commit(const OutputHandle& f) {
  Job job;
  job.kind = Job::Kind::Commit;
  job.file = f;
  submit(std::move(job), true);
}

void WriteBehind::discard(const OutputHandle& f) noexcept {
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

Ticket WriteBehind::submit(Job job, bool may_raise) {
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

void WriteBehind::wait_for(Ticket t, bool may_raise) {
  if (t == 0) return;
  std::unique_lock lock(mutex_);
  done_cv_.wait(lock, [&] { return done_ >= t || (may_raise && failed_); });
  if (may_raise) raise_if_failed();
}

void WriteBehind::settle(bool may_raise) {
  std::unique_lock lock(mutex_);
  const Ticket t = last_ticket_;
  lock.unlock();
  wait_for(t, may_raise);
}

void WriteBehind::raise_if_failed() {
  if (failed_) throw Error(error_);
}

void WriteBehind::loop() {
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
    if (!failed) failure = carry_out(job);
    else if (job.kind != Job::Kind::Write) job.file->discard();  // after a failure a file is only removed
    failed = failed || failure.has_value();
    recycle(std::move(job.owned));
    finish(job, std::move(failure));
  }
}

// Carries out a job; a failure has removed the file's temporary file and
// is returned as the message.
std::optional<std::string> WriteBehind::carry_out(Job& job) {
  AtomicFile& f = *job.file;
  try {
    switch (job.kind) {
      case Job::Kind::Write:
        // Replaced files not yet let go still take their room: on a full
        // disk the rest is tried once more after they are gone, so that a
        // run fits wherever it fitted with every file freed at its rename.
        // (Once more also when they were let go meanwhile, before the wait.)
        if (job.owned.empty()) f.write(job.data, job.n, [this] { releaser_.let_go_all(); });
        else f.write(job.owned.data(), job.owned.size(), [this] { releaser_.let_go_all(); });
        break;
      case Job::Kind::Commit: f.commit(&releaser_); break;
      case Job::Kind::Discard: f.discard(); break;
    }
  } catch (const Error& e) {
    return std::string(e.what());
  } catch (const std::bad_alloc&) {
    // Only composing a message allocates; the file is then given up.
    f.discard();
    return std::string("out of memory");
  }
  return std::nullopt;
}

// Records a job as carried out, and its failure, if any.
void WriteBehind::finish(const Job& job, std::optional<std::string>&& failure) {
  {
    std::lock_guard lock(mutex_);
    if (failure) {
      failed_ = true;
      error_ = std::move(*failure);
    }
    if (job.kind == Job::Kind::Write) --queued_writes_;
    else --open_files_;  // a commit or discard ends the file
    done_ = job.ticket;
  }
  space_.notify_all();
  done_cv_.notify_all();
}

}  // namespace dx
