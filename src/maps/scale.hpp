#pragma once
// The colour scale of a picture: the class boundaries handed to GrADS
// (set clevs), one colour per class (set rgb / set ccols), and the labels
// of the colour bar.  One scale covers every panel of a picture, so that
// the panels can be compared.  Its limits come from the bulk of the values,
// so that no outlier can move them: a class at an end that holds values
// beyond the limits is open, and those values are counted.
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "output/catalogue.hpp"

namespace dx {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

struct Scale {
  std::vector<double> levels;        // class boundaries, ascending (GrADS' clevs)
  std::vector<Rgb> colours;          // levels.size() + 1 colours; none without values
  std::vector<std::string> labels;   // one per boundary, as on the colour bar
  std::string low, high;             // labels of the bar's two ends ("" for an open end)
  std::size_t below = 0, above = 0;  // values beyond an open low or high end
  bool empty() const { return colours.empty(); }
  bool operator==(const Scale&) const = default;
};

// What the values of a panel or a picture hold: the range of the values
// GrADS can draw, and how many it cannot (NaN, infinities, GrADS' missing
// value).
struct ValueRange {
  double min = 0, max = 0;
  std::size_t drawable = 0;
  std::size_t left_off = 0;
  // Takes in more values.
  void add(std::span<const float> values);
  // Takes in the values of another range.
  void merge(const ValueRange& other);
};

// The class boundaries of p-values.
inline constexpr std::array<double, 3> kPValueBreaks = {0.01, 0.05, 0.1};

// Whether GrADS draws `v` (not NaN, not infinite, not its missing value).
bool is_drawable(float v);

// The scale of `kind` for the drawable `values` of a picture (in any
// order; the vector is reordered).
Scale make_scale(ScaleKind kind, std::vector<float>& values);

// Labels of class boundaries `levels`, in as many significant digits as it
// takes to tell them apart, in powers of ten for very small or very large
// numbers; never two equal labels.
std::vector<std::string> level_labels(std::span<const double> levels);

// A value in words, to six significant digits: "7", "0.25", "1e+30".
std::string value_text(double value);

}  // namespace dx
