#include "output/out_file.hpp"

#include <utility>

namespace dx {
namespace {

// Room for a full buffer and the text appended before the next flush check.
constexpr std::size_t kBufferCapacity = OutFile::kBufferSize + (OutFile::kBufferSize >> 2);

}  // namespace

OutFile::OutFile(OutputSink& sink, std::string path) : sink_(sink), file_(sink.create(path)) {
  buf_ = sink_.take_buffer();
  buf_.reserve(kBufferCapacity);
}

OutFile::~OutFile() {
  if (!committed_) sink_.discard(file_);
}

void OutFile::flush() {
  if (buf_.empty()) return;
  sink_.write_owned(file_, std::move(buf_));
  buf_ = sink_.take_buffer();  // empty, recycled where one is spare
  buf_.reserve(kBufferCapacity);
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
