#include "run/store.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

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
