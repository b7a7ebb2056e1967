#pragma once
// Zero-filled float storage for the result store's arrays.  Large blocks are
// mapped straight from the kernel, whose fresh pages are already zero, so
// that zero-filling costs nothing and the pages are touched once, by the
// code that fills them; where the kernel offers transparent huge pages,
// the 2 MiB-aligned interior of a large block asks for them, which cuts the
// page faults of a first touch by a factor of 512.  Small blocks come from
// calloc.  Failure throws std::bad_alloc.
#include <cstddef>
#include <utility>

namespace dx {

class FloatBlock {
 public:
  FloatBlock() = default;
  FloatBlock(FloatBlock&& other) noexcept { swap(other); }
  FloatBlock& operator=(FloatBlock&& other) noexcept {
    FloatBlock(std::move(other)).swap(*this);
    return *this;
  }
  ~FloatBlock() { reset(); }

  // Makes room for n floats.  With `zeroed`, every element is 0 afterwards;
  // without, a block kept from before holds its old values (for a caller
  // that overwrites every element).  A block of the same size is reused.
  void resize(std::size_t n, bool zeroed);
  void reset() noexcept;

  float* data() { return data_; }
  const float* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void swap(FloatBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(mapped_, other.mapped_);
  }

  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped from the kernel, 0 for calloc
};

}  // namespace dx
