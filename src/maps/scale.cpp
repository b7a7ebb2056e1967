#include "maps/scale.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/labels.hpp"

namespace dx {
namespace {

// ColorBrewer's YlOrRd (9 classes, without its palest, which marks on a
// white page would hide) and RdBu (10, reversed: blue for negative values,
// red for positive).
constexpr std::array<Rgb, 8> kSequential = {{{255, 237, 160}, {254, 217, 118},
                                              {254, 178, 76},  {253, 141, 60},  {252, 78, 42},
                                              {227, 26, 28},   {189, 0, 38},    {128, 0, 38}}};
constexpr std::array<Rgb, 10> kDiverging = {{{5, 48, 97},     {33, 102, 172},  {67, 147, 195}, {146, 197, 222},
                                             {209, 229, 240}, {253, 219, 199}, {244, 165, 130}, {214, 96, 77},
                                             {178, 24, 43},   {103, 0, 31}}};
// Below 0.01, 0.05, 0.1, and not significant.
constexpr std::array<Rgb, 4> kPValue = {{{165, 0, 38}, {244, 109, 67}, {253, 174, 97}, {224, 224, 224}}};
constexpr std::array<double, 3> kPBreaks = {0.01, 0.05, 0.1};

// The "nice" step (1, 2, 2.5 or 5 times a power of ten) at or above `raw`.
double nice_step(double raw) {
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * p >= raw * (1 - 1e-9)) return m * p;
  return 10 * p;
}

// `n` colours spread over a ramp, ends included.
std::vector<Rgb> spread(std::span<const Rgb> ramp, std::size_t n) {
  std::vector<Rgb> out;
  const std::size_t len = ramp.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = n == 1 ? len / 2 : (i * (len - 1) + (n - 1) / 2) / (n - 1);
    out.push_back(ramp[k]);
  }
  return out;
}

}  // namespace

void ValueRange::add(std::span<const float> values) {
  for (const float v : values) {
    if (!std::isfinite(v) || v == kMissingValue) {
      ++left_off;
      continue;
    }
    if (drawable == 0 || v < min) min = v;
    if (drawable == 0 || v > max) max = v;
    ++drawable;
  }
}

void ValueRange::merge(const ValueRange& o) {
  if (o.drawable > 0) {
    min = drawable == 0 ? o.min : std::min(min, o.min);
    max = drawable == 0 ? o.max : std::max(max, o.max);
  }
  drawable += o.drawable;
  left_off += o.left_off;
}

std::string value_text(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", value);
  return std::string(buf) == "-0" ? "0" : buf;
}

std::string level_label(double value, double step) {
  int decimals = 0;
  while (decimals < 6 && std::fabs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) >
                             1e-6 * std::pow(10.0, decimals) * step)
    ++decimals;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::string s(buf);
  if (s.find_first_not_of("-0.") == std::string::npos) return std::string(1, '0');  // no "-0.00"
  return s;
}

Scale make_scale(ScaleKind kind, const ValueRange& range) {
  Scale s;
  if (kind == ScaleKind::PValue) {
    s.levels.assign(kPBreaks.begin(), kPBreaks.end());
    s.colours.assign(kPValue.begin(), kPValue.end());
    for (const double b : kPBreaks) s.labels.push_back(level_label(b, b));
    s.low.assign(1, '0');
    s.high.assign(1, '1');
    return s;
  }
  double lo = range.drawable ? range.min : 0, hi = range.drawable ? range.max : 1;
  if (kind == ScaleKind::Diverging) {
    // Symmetric about 0, at most five classes a side.
    double m = std::max(std::fabs(lo), std::fabs(hi));
    if (!(m > 0)) m = 1;
    const double step = nice_step(m / 5);
    const int n = std::max(1, static_cast<int>(std::ceil(m / step - 1e-9)));
    for (int i = -n + 1; i < n; ++i) {
      s.levels.push_back(i * step);
      s.labels.push_back(level_label(i * step, step));
    }
    const std::span<const Rgb> ramp(kDiverging);
    const std::vector<Rgb> below = spread(ramp.first(5), static_cast<std::size_t>(n));
    const std::vector<Rgb> above = spread(ramp.last(5), static_cast<std::size_t>(n));
    s.colours = below;
    s.colours.insert(s.colours.end(), above.begin(), above.end());
    s.low = level_label(-n * step, step);
    s.high = level_label(n * step, step);
    return s;
  }
  // Sequential: about eight classes from the nice value below the least to
  // the nice value above the greatest, never more than eight.
  if (hi - lo < 1e-12 * std::max(1.0, std::fabs(hi))) {
    const double pad = std::max(std::fabs(hi) * 0.1, 0.5);
    lo -= pad;
    hi += pad;
  }
  double step = nice_step((hi - lo) / 8);
  double first = std::floor(lo / step) * step, last = std::ceil(hi / step) * step;
  while (std::lround((last - first) / step) > 8) {
    step = nice_step(step * 1.01);
    first = std::floor(lo / step) * step;
    last = std::ceil(hi / step) * step;
  }
  const long classes = std::max(1L, std::lround((last - first) / step));
  for (long i = 1; i < classes; ++i) {
    s.levels.push_back(first + i * step);
    s.labels.push_back(level_label(first + i * step, step));
  }
  s.colours = spread(kSequential, static_cast<std::size_t>(classes));
  s.low = level_label(first, step);
  s.high = level_label(last, step);
  return s;
}

}  // namespace dx
