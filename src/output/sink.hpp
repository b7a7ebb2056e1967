#pragma once
// The output sink: what output files write through.  Every output file is
// written to a temporary file beside its final name ("<name>.dx-tmp") and
// renamed over that name only when complete; the sink carries out those
// steps through the system calls of its FileOps.
//
// A direct sink carries out every step at once on the calling thread.  A
// sink that writes behind hands the writes, closes and renames to one
// writer thread, which carries them out one after the other in the order
// they were handed over, while the calling thread formats the next block of
// a table or the next time group of a data set.  What the files hold, and
// the order in which finished files replace the previous ones, are the
// same either way.  The first failure stops the rest: the failed file and
// every file handed over after it are discarded (temporary file removed,
// previous file of that name kept), and the failure is raised as an Error
// in the calling thread at its next hand-over or wait.  Files handed over
// before it are completed.  The previous file that a rename replaces is
// let go on release threads of its own (see Releaser).
#include <fcntl.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "output/file_ops.hpp"
#include "output/releaser.hpp"
#include "output/temp_files.hpp"

namespace dx {

inline constexpr std::string_view kTempSuffix = ".dx-tmp";

// Identifies a write handed over; waiting for it means its bytes have been
// written and the memory they came from may change again.  0: done.
using Ticket = std::uint64_t;

// An open temporary output file.
struct OpenOutput {
  int fd = -1;
  std::string path;       // the final name, used in messages
  std::string temp;       // the temporary file that is renamed over it, as named in messages
  std::string name;       // the final name in the sink's folder
  std::string temp_name;  // the temporary file's name in the sink's folder
  int slot = -1;  // in the sink's TempFiles while the temporary file exists
  bool closed = false;
  bool removed = false;  // the temporary file was removed after a failure
};
using OutputHandle = std::shared_ptr<OpenOutput>;

class OutputSink {
 public:
  enum class Mode { Direct, Behind };

  // A sink that is to write behind but cannot start its threads writes
  // directly (writes_behind() tells).  With `folder`, a descriptor of the
  // output folder kept open by the caller for the sink's life, every
  // output is the file of that folder named by the last component of its
  // path (the path is what messages show), so that the files stay in the
  // folder opened whatever happens to its path meanwhile.  Without, the
  // paths are taken as they stand.
  explicit OutputSink(Mode mode, const FileOps& ops = system_file_ops(), int folder = AT_FDCWD);
  // Waits for every hand-over to be carried out; a failure not yet raised
  // is dropped (the exception being handled, if any, is the one reported).
  ~OutputSink();
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  bool writes_behind() const { return behind_; }
  // The temporary files in existence, for removal by a signal (see
  // SignalCleanup).
  const TempFiles& temp_files() const { return temps_; }

  // Waits until everything handed over so far is carried out, and raises
  // the first failure.  Call it before anything that reports files as done.
  void settle();

  // The steps of one output file (see OutFile).
  // Creates the temporary file of `path`, a fresh one: a temporary file
  // left by a killed run is removed first.  A message names the output,
  // and the temporary file only where something at its name cannot be
  // removed.  When writing behind, waits
  // until a further file may be open (at most two at once).
  OutputHandle create(const std::string& path);
  // Hands over bytes that the sink owns from now on.
  void write_owned(const OutputHandle& f, std::string&& bytes);
  // Hands over bytes that the caller keeps unchanged until wait() for the
  // returned ticket returns.
  Ticket write_view(const OutputHandle& f, const char* data, std::size_t n);
  // Hands over the close and rename of a file after its last write.
  void commit(const OutputHandle& f);
  // Removes the temporary file (closing it first) and waits until that is
  // done; never raises.
  void discard(const OutputHandle& f) noexcept;
  // Waits until the write of `ticket` is carried out; raises a failure.
  void wait(Ticket ticket);
  // An empty buffer to fill with output, recycled from writes carried out.
  std::string take_buffer();

  // Buffers kept from call to call for bytes handed over as views: the data
  // sets of a run all have the same size of time group, and a fresh buffer
  // of several megabytes per call would cost a zero-fill and its page
  // faults each time.  Returns the buffer of `slot` with at least `size`
  // bytes, once the last write from it is carried out.
  static constexpr std::size_t kReusableSlots = 2;
  char* reusable(std::size_t slot, std::size_t size);
  // Hands over `n` bytes of the buffer of `slot` for the file.
  void write_reusable(const OutputHandle& f, std::size_t slot, std::size_t n);

 private:
  struct Job {
    enum class Kind { Write, Commit, Discard };
    Kind kind = Kind::Write;
    OutputHandle file;
    std::string owned;  // the bytes, when the job owns them
    const char* data = nullptr;
    std::size_t n = 0;
    Ticket ticket = 0;
  };
  struct Reusable {
    std::vector<char> bytes;
    Ticket written = 0;
  };

  Ticket submit(Job job, bool may_raise);
  void wait_for(Ticket t, bool may_raise);
  void settle(bool may_raise);
  void raise_if_failed();
  void loop();
  void recycle(std::string&& buffer);
  std::optional<std::string> carry_out(Job& job);
  void skip(Job& job);
  void close_file(OpenOutput& f);
  int open_temp(OpenOutput& f);
  void remove_temp(OpenOutput& f);

  // The name of the file of `path` in the sink's folder.
  std::string name_in_folder(const std::string& path) const;

  const FileOps& ops_;
  int folder_;
  bool behind_;
  TempFiles temps_;
  std::array<Reusable, kReusableSlots> reusable_;

  std::mutex mutex_;
  std::condition_variable work_;     // a job was queued, or stop
  std::condition_variable space_;    // a queued write or a file was done
  std::condition_variable done_cv_;  // a job was carried out
  std::deque<Job> queue_;
  std::vector<std::string> spares_;
  std::size_t queued_writes_ = 0;
  std::size_t open_files_ = 0;
  Ticket done_ = 0;
  Ticket last_ticket_ = 0;
  bool stop_ = false;
  bool failed_ = false;
  std::string error_;
  std::optional<Releaser> releaser_;  // when writing behind; outlives the thread below
  std::thread thread_;                // last: started once everything above exists
};

}  // namespace dx
