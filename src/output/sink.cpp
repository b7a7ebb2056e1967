#include "output/sink.hpp"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <utility>

#include "output/write_behind.hpp"

namespace dx {
namespace {

// Buffers kept for reuse: a fresh one of a megabyte costs page faults.
constexpr std::size_t kMaxSpareBuffers = 2;

}  // namespace

std::string OutputSink::take_buffer() {
  std::lock_guard lock(spares_mutex_);
  if (spares_.empty()) return {};
  std::string b = std::move(spares_.back());
  spares_.pop_back();
  return b;
}

void OutputSink::recycle(std::string&& buffer) {
  if (buffer.capacity() == 0) return;
  std::lock_guard lock(spares_mutex_);
  if (spares_.size() < kMaxSpareBuffers) {
    buffer.clear();
    spares_.push_back(std::move(buffer));
  }
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

OutputHandle DirectSink::create(const std::string& path) {
  return std::make_shared<AtomicFile>(ops_, folder_, path, cleanup_);
}

void DirectSink::write_owned(const OutputHandle& f, std::string&& bytes) {
  f->write(bytes.data(), bytes.size());
  recycle(std::move(bytes));
}

Ticket DirectSink::write_view(const OutputHandle& f, const char* data, std::size_t n) {
  f->write(data, n);
  return 0;
}

std::unique_ptr<OutputSink> make_output_sink(OutputSink::Mode mode, const FileOps& ops, int folder) {
  if (mode == OutputSink::Mode::Behind) {
    // The helper threads take none of the signals that end a run: they are
    // handled on the calling thread, which creates every temporary file
    // (see SignalCleanup).  Changing the mask of the own thread with valid
    // arguments cannot fail.
    std::unique_ptr<OutputSink> sink;
    try {
      const BlockEndingSignals blocked;  // the threads started inherit the block
      sink.reset(new WriteBehind(ops, folder));
    } catch (const std::system_error&) {
      // No thread to be had: the files are written directly instead.
    }
    if (sink) return sink;
  }
  return std::make_unique<DirectSink>(ops, folder);
}

}  // namespace dx
