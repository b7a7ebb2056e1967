#pragma once
// An output file that is replaced atomically: the bytes go through a large
// buffer into a temporary file beside the final one ("<path>.dx-tmp"), which
// is renamed over the final name only when it is complete and closed.  On
// any failure, or if the file is dropped before commit(), the temporary file
// is removed and the previous file of that name stays untouched.  The steps
// are those of an AtomicFile, carried out by the sink it writes through
// (directly or behind); errors name the file and the system's reason.
#include <cstddef>
#include <string>

#include "output/sink.hpp"

namespace dx {

class OutFile {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  OutFile(OutputSink& sink, std::string path);
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  // The buffer to append to; call flush_if_full() after appending.
  std::string& buffer() { return buf_; }
  void flush_if_full() {
    if (buf_.size() >= kBufferSize) flush();
  }
  // Hands the buffer over now.
  void flush();
  // Hands over the buffer, then `n` bytes of the sink's reusable buffer of
  // `slot` (see OutputSink::reusable).
  void write_reusable(std::size_t slot, std::size_t n);
  // Flushes, closes and renames the temporary file over the final name.
  void commit();

  const std::string& path() const { return file_->path(); }

 private:
  OutputSink& sink_;
  std::string buf_;  // before file_: its memory is had before the file is created
  OutputHandle file_;
  bool committed_ = false;
};

}  // namespace dx
