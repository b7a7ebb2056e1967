#pragma once
// A growable column-major array of 32-bit reals: the first index varies
// fastest, extents are kept with the data.  Indices are 0-based here; the
// element (i, j) of a station-major array is station i, column j.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>

#include "base/float_block.hpp"

namespace dx {

// A count read from a file or kept in the store, as a size: a negative
// count is none.
inline std::size_t count_to_size(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }
// The same, never beyond any of `bounds` (the extents of the arrays the
// count indexes).
inline std::size_t count_within(std::int32_t n, std::initializer_list<std::size_t> bounds) {
  std::size_t c = count_to_size(n);
  for (const std::size_t b : bounds) c = b < c ? b : c;
  return c;
}

template <std::size_t Rank>
class ColArray {
 public:
  using Extents = std::array<std::size_t, Rank>;

  ColArray() = default;
  explicit ColArray(const Extents& ext) { allocate(ext); }

  // Allocates to the given extents, zero-filled (never uninitialised).
  // Any previous content is released first.
  void allocate(const Extents& ext) { allocate(ext, true); }
  // Allocates to the given extents for a caller that writes every element
  // before anything reads it (a whole-variable read): memory kept from an
  // earlier allocation of the same size is not cleared again.
  void allocate_for_overwrite(const Extents& ext) { allocate(ext, false); }
  void release() {
    data_.reset();
    ext_ = Extents{};
    allocated_ = false;
  }

  bool allocated() const { return allocated_; }
  std::size_t extent(std::size_t dim) const { return ext_[dim]; }
  std::size_t size() const { return data_.size(); }
  float* data() { return data_.data(); }
  const float* data() const { return data_.data(); }

  template <typename... I>
  float& operator()(I... idx) {
    return data_.data()[offset(static_cast<std::size_t>(idx)...)];
  }
  template <typename... I>
  const float& operator()(I... idx) const {
    return data_.data()[offset(static_cast<std::size_t>(idx)...)];
  }

  // Column j of a 2-D array (all stations), contiguous.
  const float* column(std::size_t j) const { return data_.data() + j * ext_[0]; }

  // The unit of the values as the file gives it (the `units` attribute of
  // the variable read into the array), for the maps' colour bars; empty
  // where the file gives none.  Kept across allocations.
  std::string units;

 private:
  void allocate(const Extents& ext, bool zeroed) {
    std::size_t n = 1;
    for (std::size_t e : ext) {
      if (e != 0 && n > SIZE_MAX / sizeof(float) / e) throw std::bad_alloc();
      n *= e;
    }
    data_.resize(n, zeroed);
    ext_ = ext;
    allocated_ = true;
  }

  template <typename... I>
  std::size_t offset(I... idx) const {
    static_assert(sizeof...(I) == Rank, "wrong number of indices");
    const std::array<std::size_t, Rank> ix{idx...};
    std::size_t off = 0;
    for (std::size_t d = Rank; d-- > 0;) off = off * ext_[d] + ix[d];
    return off;
  }

  FloatBlock data_;
  Extents ext_{};
  bool allocated_ = false;
};

using Array1 = ColArray<1>;
using Array2 = ColArray<2>;
using Array3 = ColArray<3>;

}  // namespace dx
