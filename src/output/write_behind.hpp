#pragma once
// A sink that writes behind: one writer thread carries out the writes,
// closes and renames of the output files one after the other, in the order
// they were handed over, while the calling thread formats the next block of
// a table or the next time group of a data set.  The calling thread creates
// every file, so that only it makes temporary files.  The first failure
// stops the rest: the failed file and every file handed over after it are
// discarded (temporary file removed, previous file of that name kept), and
// the failure is raised as an Error in the calling thread at its next
// hand-over or wait.  Files handed over before it are completed.  The
// previous file that a rename replaces is let go on release threads of its
// own (see Releaser).
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "output/releaser.hpp"
#include "output/sink.hpp"

namespace dx {

class WriteBehind final : public OutputSink {
 public:
  // Waits for every hand-over to be carried out; a failure not yet raised
  // is dropped (the exception being handled, if any, is the one reported).
  ~WriteBehind() override;

  bool writes_behind() const override { return true; }
  void settle() override { settle(true); }
  // Waits until a further file may be open (at most two at once).  With no
  // room for the file, it is tried once more after the files handed over
  // so far are renamed and the files they replaced let go.
  OutputHandle create(const std::string& path) override;
  void write_owned(const OutputHandle& f, std::string&& bytes) override;
  Ticket write_view(const OutputHandle& f, const char* data, std::size_t n) override;
  void commit(const OutputHandle& f) override;
  void discard(const OutputHandle& f) noexcept override;
  void wait(Ticket ticket) override { wait_for(ticket, true); }

 private:
  // Made by make_output_sink, which blocks the signals that the threads
  // must not take.  Starts the threads; throws std::system_error when one
  // cannot be started.
  WriteBehind(const FileOps& ops, int folder);
  friend std::unique_ptr<OutputSink> make_output_sink(OutputSink::Mode, const FileOps&, int);

  struct Job {
    enum class Kind { Write, Commit, Discard };
    Kind kind = Kind::Write;
    OutputHandle file;
    std::string owned;  // the bytes, when the job owns them
    const char* data = nullptr;
    std::size_t n = 0;
    Ticket ticket = 0;
  };

  Ticket submit(Job job, bool may_raise);
  void wait_for(Ticket t, bool may_raise);
  void settle(bool may_raise);
  void raise_if_failed();
  void loop();
  std::optional<std::string> carry_out(Job& job);
  void finish(const Job& job, std::optional<std::string>&& failure);

  std::mutex mutex_;
  std::condition_variable work_;     // a job was queued, or stop
  std::condition_variable space_;    // a queued write or a file was done
  std::condition_variable done_cv_;  // a job was carried out
  std::deque<Job> queue_;
  std::size_t queued_writes_ = 0;
  std::size_t open_files_ = 0;
  Ticket done_ = 0;
  Ticket last_ticket_ = 0;
  bool stop_ = false;
  bool failed_ = false;
  std::string error_;
  Releaser releaser_;   // outlives the thread below
  std::thread thread_;  // last: started once everything above exists
};

}  // namespace dx
