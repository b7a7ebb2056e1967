#include "run/store.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace dx {

const std::array<std::string_view, NVARN> VARN = {
    "pdsi_mod",   "scpdsi_mod", "spei06_mod", "spei12_mod", "spi06_mod",
    "spi12_mod",  "pdsi_sev",   "scpdsi_sev", "spei06_sev", "spei12_sev",
    "spi06_sev",  "spi12_sev",  "pdsi_ext",   "scpdsi_ext", "spei06_ext",
    "spei12_ext", "spi06_ext",  "spi12_ext"};

const std::array<std::string_view, NIDX_NAME> IDX_NAME = {
    "pdsi", "scpdsi", "spei06", "spei12", "spi06", "spi12"};

const std::array<std::string_view, NCOR_NAME> COR_NAME = {
    "pdsi-spei06",   "pdsi-spei12",   "pdsi-spi06",   "pdsi-spi12",
    "scpdsi-spei06", "scpdsi-spei12", "scpdsi-spi06", "scpdsi-spi12",
    "spei06-spi06",  "spei12-spi12",  "spei06-spi06", "spei12-spi12"};

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

#ifdef MADV_POPULATE_WRITE
// Fresh memory costs a page fault per huge page on first touch, and on
// virtual machines each of those is expensive.  Blocks of the result store
// are therefore faulted in ahead of time by a helper thread, from their end
// backwards, while the reading thread fills them from the front: each does
// about half, and the reading thread's netCDF work overlaps the rest.
// Asking the kernel to populate a range never changes its content, so a
// block that is released meanwhile (and its addresses perhaps reused) needs
// no coordination: the request then fails or populates memory that is in
// use anyway.  Only blocks of several huge pages are worth it.
constexpr std::size_t kPrefaultFrom = std::size_t{8} << 20;

class Prefaulter {
 public:
  static void add(char* start, std::size_t bytes) {
    Prefaulter& p = instance();
    {
      std::lock_guard lock(p.mutex_);
      p.ranges_.push_back({start, bytes, ++p.added_count_});
    }
    p.added_.notify_one();
  }

 private:
  struct Range {
    char* start;
    std::size_t bytes;
    std::uint64_t order;  // blocks added later have higher numbers
  };

  // Never destroyed: the thread may still be waiting when the program ends.
  static Prefaulter& instance() {
    static Prefaulter* const p = [] {
      auto* q = new Prefaulter();
      std::thread([q] { q->loop(); }).detach();
      return q;
    }();
    return *p;
  }

  [[noreturn]] void loop() {
    for (;;) {
      Range r;
      {
        std::unique_lock lock(mutex_);
        added_.wait(lock, [&] { return !ranges_.empty(); });
        // The newest block first: it is the one being filled now.
        r = ranges_.back();
        ranges_.pop_back();
      }
      const std::size_t step = std::min(r.bytes, kHugePage);
      r.bytes -= step;
      // Advice only: a failure leaves the pages to be faulted on first use.
      static_cast<void>(madvise(r.start + r.bytes, step, MADV_POPULATE_WRITE));
      if (r.bytes > 0) {
        // The rest goes back below any block added meanwhile.
        std::lock_guard lock(mutex_);
        const auto at = std::upper_bound(ranges_.begin(), ranges_.end(), r,
                                         [](const Range& a, const Range& b) { return a.order < b.order; });
        ranges_.insert(at, r);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<Range> ranges_;  // by order, newest last
  std::uint64_t added_count_ = 0;
};
#endif

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
    if (end != base + bytes + slack) static_cast<void>(munmap(end, static_cast<std::size_t>(base + bytes + slack - end)));
#ifdef MADV_HUGEPAGE
    // Advice only: without huge pages the block works the same.
    static_cast<void>(madvise(start, bytes / kHugePage * kHugePage, MADV_HUGEPAGE));
#endif
#ifdef MADV_POPULATE_WRITE
    if (bytes >= kPrefaultFrom) Prefaulter::add(start, bytes / kHugePage * kHugePage);
#endif
  }
  return reinterpret_cast<float*>(start);
}

}  // namespace

FloatBlock::FloatBlock(const FloatBlock& other) {
  resize(other.size_, false);
  if (size_ != 0) std::memcpy(data_, other.data_, size_ * sizeof(float));
}

FloatBlock& FloatBlock::operator=(const FloatBlock& other) {
  if (this != &other) FloatBlock(other).swap(*this);
  return *this;
}

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

std::string pad_to(std::string_view text, std::size_t len) {
  std::string s(text.substr(0, len));
  s.resize(len, ' ');
  return s;
}

std::string_view trim_right(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

}  // namespace dx
