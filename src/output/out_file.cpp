#include "output/out_file.hpp"

#include <utility>

namespace dx {
namespace {

// Room for a full buffer and the text appended before the next flush check.
constexpr std::size_t kBufferCapacity = OutFile::kBufferSize + (OutFile::kBufferSize >> 2);

// An empty buffer with room for kBufferCapacity bytes, recycled where the
// sink has one spare.
std::string buffer_from(OutputSink& sink) {
  std::string b = sink.take_buffer();
  b.reserve(kBufferCapacity);
  return b;
}

}  // namespace

// The buffer is had first: memory that cannot be obtained then fails the
// file before its temporary file exists, so none is left behind.
OutFile::OutFile(OutputSink& sink, std::string path) : sink_(sink), buf_(buffer_from(sink)), file_(sink.create(path)) {}

OutFile::~OutFile() {
  if (!committed_) sink_.discard(file_);
}

void OutFile::flush() {
  if (buf_.empty()) return;
  sink_.write_owned(file_, std::move(buf_));
  buf_ = buffer_from(sink_);
}

void OutFile::write_reusable(std::size_t slot, std::size_t n) {
  flush();
  sink_.write_reusable(file_, slot, n);
}

void OutFile::commit() {
  flush();
  sink_.commit(file_);
  committed_ = true;  // handed over: on a failure the sink removes the file itself
}

}  // namespace dx
