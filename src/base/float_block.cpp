#include "base/float_block.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace dx {

namespace {

// Blocks from this size on are mapped from the kernel; smaller ones come
// from calloc, which keeps many small coordinate arrays cheap.
constexpr std::size_t kMapFrom = std::size_t{1} << 20;
// Transparent huge pages are 2 MiB on x86-64.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t page_size() {
  static const std::size_t page = [] {
    const long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
  }();
  return page;
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Maps `bytes` (a multiple of the page size) of fresh zero pages; the start
// is 2 MiB-aligned so that the interior can use huge pages, and only whole
// huge pages inside the block are asked for, so that the resident size never
// exceeds the pages actually touched.
float* map_zeroed(std::size_t bytes) {
  const std::size_t slack = bytes >= kHugePage ? kHugePage : 0;
  if (bytes > SIZE_MAX - slack) throw std::bad_alloc();
  void* const raw = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* const base = static_cast<char*>(raw);
  char* start = base;
  if (slack != 0) {
    const auto addr = reinterpret_cast<std::uintptr_t>(base);
    start = base + (round_up(addr, kHugePage) - addr);
    // Unmapping the unused head and tail cannot fail for ranges inside a
    // mapping just made; a failure would only leave address space unused.
    if (start != base) static_cast<void>(munmap(base, static_cast<std::size_t>(start - base)));
    char* const end = start + bytes;
    if (end != base + bytes + slack)
      static_cast<void>(munmap(end, static_cast<std::size_t>(base + bytes + slack - end)));
#ifdef MADV_HUGEPAGE
    // Advice only: without huge pages the block works the same.
    static_cast<void>(madvise(start, bytes / kHugePage * kHugePage, MADV_HUGEPAGE));
#endif
  }
  return reinterpret_cast<float*>(start);
}

}  // namespace

void FloatBlock::resize(std::size_t n, bool zeroed) {
  if (n == size_ && data_ != nullptr) {
    if (zeroed) std::memset(data_, 0, n * sizeof(float));
    return;
  }
  reset();
  if (n == 0) return;
  if (n > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
  const std::size_t bytes = n * sizeof(float);
  if (bytes >= kMapFrom) {
    const std::size_t mapped = round_up(bytes, page_size());
    data_ = map_zeroed(mapped);
    mapped_ = mapped;
  } else {
    data_ = static_cast<float*>(std::calloc(n, sizeof(float)));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  size_ = n;
}

void FloatBlock::reset() noexcept {
  if (data_ != nullptr) {
    if (mapped_ != 0) static_cast<void>(munmap(data_, mapped_));
    else std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

}  // namespace dx
