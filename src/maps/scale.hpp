#pragma once
// The colour scale of a picture: the class boundaries handed to GrADS
// (set clevs), one colour per class (set rgb / set ccols), and the labels
// of the colour bar.  One scale covers every panel of a picture, so that
// the panels can be compared.
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
  std::vector<double> levels;       // class boundaries, ascending (GrADS' clevs)
  std::vector<Rgb> colours;         // levels.size() + 1 colours
  std::vector<std::string> labels;  // one per boundary, as on the colour bar
  std::string low, high;            // labels of the bar's two ends ("" for open ends)
  bool operator==(const Scale&) const = default;
};

// What the values of a picture hold: the range of the values GrADS can
// draw, and how many it cannot (NaN, infinities, GrADS' missing value).
struct ValueRange {
  double min = 0, max = 0;
  std::size_t drawable = 0;
  std::size_t left_off = 0;
  // Takes in more values.
  void add(std::span<const float> values);
  // Takes in the values of another range.
  void merge(const ValueRange& other);
};

// The scale of `kind` for values in `range`.
Scale make_scale(ScaleKind kind, const ValueRange& range);

// The number as the scale labels it: the fewest decimals that tell the
// boundaries `step` apart.
std::string level_label(double value, double step);

// A value in words, to six significant digits: "7", "0.25", "1e+30".
std::string value_text(double value);

}  // namespace dx
