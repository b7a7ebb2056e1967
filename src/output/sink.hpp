#pragma once
// The output sink: what output files write through.  Every output is an
// AtomicFile (a temporary file renamed over its final name when complete);
// the sink decides when each step of it is carried out.  A direct sink
// carries out every step at once on the calling thread; a sink that writes
// behind (see WriteBehind) hands them to a writer thread.  What the files
// hold, and the order in which finished files replace the previous ones,
// are the same either way.
//
// Besides, the sink keeps the memory that output is formatted into: spare
// buffers recycled from writes carried out, and reusable buffers for
// bytes handed over as views.
#include <fcntl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "output/atomic_file.hpp"
#include "output/file_ops.hpp"
#include "base/cleanup.hpp"

namespace dx {

// Identifies a write handed over; waiting for it means its bytes have been
// written and the memory they came from may change again.  0: done.
using Ticket = std::uint64_t;
using OutputHandle = std::shared_ptr<AtomicFile>;

class OutputSink {
 public:
  enum class Mode { Direct, Behind };

  // With `folder`, a descriptor of the output folder kept open by the
  // caller for the sink's life, every output is the file of that folder
  // named by the last component of its path (see AtomicFile).
  OutputSink(const FileOps& ops, int folder) : ops_(ops), folder_(folder) {}
  virtual ~OutputSink() = default;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  virtual bool writes_behind() const = 0;
  // The temporary files in existence, for removal by a signal (see
  // SignalCleanup).
  const CleanupList& cleanup() const { return cleanup_; }

  // Waits until everything handed over so far is carried out, and raises
  // the first failure.  Call it before anything that reports files as done.
  virtual void settle() = 0;

  // The steps of one output file (see OutFile and AtomicFile).
  virtual OutputHandle create(const std::string& path) = 0;
  // Hands over bytes that the sink owns from now on.
  virtual void write_owned(const OutputHandle& f, std::string&& bytes) = 0;
  // Hands over bytes that the caller keeps unchanged until wait() for the
  // returned ticket returns.
  virtual Ticket write_view(const OutputHandle& f, const char* data, std::size_t n) = 0;
  // Hands over the close and rename of a file after its last write.
  virtual void commit(const OutputHandle& f) = 0;
  // Removes the temporary file (closing it first) and waits until that is
  // done; never raises.
  virtual void discard(const OutputHandle& f) noexcept = 0;
  // Waits until the write of `ticket` is carried out; raises a failure.
  virtual void wait(Ticket ticket) = 0;

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

 protected:
  // Keeps a buffer whose bytes are written, for take_buffer().
  void recycle(std::string&& buffer);

  const FileOps& ops_;
  const int folder_;
  CleanupList cleanup_;

 private:
  struct Reusable {
    std::vector<char> bytes;
    Ticket written = 0;
  };
  std::array<Reusable, kReusableSlots> reusable_;
  std::mutex spares_mutex_;  // recycle() may run on a writer thread
  std::vector<std::string> spares_;
};

// Every step at once, on the calling thread.
class DirectSink final : public OutputSink {
 public:
  explicit DirectSink(const FileOps& ops = system_file_ops(), int folder = AT_FDCWD) : OutputSink(ops, folder) {}

  bool writes_behind() const override { return false; }
  void settle() override {}
  OutputHandle create(const std::string& path) override;
  void write_owned(const OutputHandle& f, std::string&& bytes) override;
  Ticket write_view(const OutputHandle& f, const char* data, std::size_t n) override;
  void commit(const OutputHandle& f) override { f->commit(); }
  void discard(const OutputHandle& f) noexcept override { f->discard(); }
  void wait(Ticket) override {}
};

// A sink of `mode`.  A sink that is to write behind but cannot start its
// threads (a process limit, or no memory for a stack) writes directly
// (writes_behind() tells), with the same bytes.
std::unique_ptr<OutputSink> make_output_sink(OutputSink::Mode mode, const FileOps& ops = system_file_ops(),
                                             int folder = AT_FDCWD);

}  // namespace dx
