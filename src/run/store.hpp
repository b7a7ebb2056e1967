#pragma once
// The result store: the program-level data that every procedure shares for
// the whole run (label tables, text fields, run counts and the growable
// statistic arrays).  The loader fills it once; the writers only read it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run/error.hpp"

namespace dx {

// Zero-filled float storage for the store's arrays.  Large blocks are
// mapped straight from the kernel, whose fresh pages are already zero, so
// that zero-filling costs nothing and the pages are touched once, by the
// code that fills them; where the kernel offers transparent huge pages,
// the 2 MiB-aligned interior of a large block asks for them, which cuts the
// page faults of a first touch by a factor of 512.  Small blocks come from
// calloc.  Failure throws std::bad_alloc.
class FloatBlock {
 public:
  FloatBlock() = default;
  FloatBlock(const FloatBlock& other);
  FloatBlock& operator=(const FloatBlock& other);
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

// A growable column-major array of 32-bit reals: the first index varies
// fastest, extents are kept with the data.  Indices are 0-based here; the
// element (i, j) of a station-major array is station i, column j.
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
  const Extents& extents() const { return ext_; }
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

// Width of every label entry, of the title and of generated base names.
inline constexpr std::size_t LABEL_LEN = 15;
inline constexpr std::size_t TITLE_LEN = 100;
inline constexpr std::size_t FNAME_LEN = 30;
inline constexpr std::size_t STATION_LEN = 21;

// Sizes of the label tables; the text tables use them as column counts.
inline constexpr int NVARN = 18;
inline constexpr int NIDX_NAME = 6;
inline constexpr int NCOR_NAME = 12;

// Drought-class labels, class-major (mod, sev, ext of the six indices).
extern const std::array<std::string_view, NVARN> VARN;
// Drought-index labels.
extern const std::array<std::string_view, NIDX_NAME> IDX_NAME;
// Index-pair labels.  Entries 11 and 12 repeat 9 and 10; published tables
// carry these headers, so they stay as they are.
extern const std::array<std::string_view, NCOR_NAME> COR_NAME;

// Missing-data value written into every GrADS descriptor (fits F8.1).
inline constexpr float MISSING_VALUE = -9999.0f;

// Pads (or cuts) a text to a fixed length with trailing blanks.
std::string pad_to(std::string_view text, std::size_t len);
// Removes trailing blanks.
std::string_view trim_right(std::string_view text);

struct Store {
  // Text fields, always at their full fixed length.
  std::string TITLE = std::string(TITLE_LEN, ' ');
  std::string FNAME = std::string(FNAME_LEN, ' ');

  // Run counts, set by the loader.
  std::int32_t NSTN = 0;
  std::int32_t NCOL_DRM = 0;
  std::int32_t NCOL_IDX = 0;
  std::int32_t NCLASS = 0;
  std::int32_t NPERIOD = 0;
  std::int32_t NPAIR = 0;
  int STATUS = 0;  // code of the most recent netCDF call

  // Station arrays.
  Array1 LON, LAT, REG;
  // Statistics, (station, column).
  Array2 NUM_DR_MON, SENSL, PROB, SPELL_AVE, SPELL_MAX, TIME_ARR_AVE,
      TIME_ARR_MAX, FRE_ALL, MAG_ALL, TQ, PROB1;
  // Per-period frequency and magnitude, (class, station, period).
  Array3 FRE, MAG;
  // Station names, each STATION_LEN characters, blank-padded.
  std::vector<std::string> STATION;
  // Coordinate values of the last read's dimensions, and one pair variable.
  Array1 XSTN, XIDX, COR;
  // Work array of the per-period loop, (station, class).
  Array2 X;

  // Id of the last GrADS station report written; a terminator with no
  // station before it in its call repeats it.  Eight zero bytes at start.
  std::array<char, 8> LAST_STN_ID{};
};

}  // namespace dx
