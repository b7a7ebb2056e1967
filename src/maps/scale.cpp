#include "maps/scale.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "base/labels.hpp"

namespace dx {
namespace {

// ColorBrewer's YlOrRd (9 classes, without its palest, which marks on a
// white page would hide, and with a darker red beyond its darkest for an
// open end); BrBG (10: brown for a trend toward drought,
// blue-green for one toward wetter conditions); RdBu (10, reversed: blue
// for negative correlations, red for positive).
constexpr std::array<Rgb, 9> kSequential = {{{255, 237, 160},
                                             {254, 217, 118},
                                             {254, 178, 76},
                                             {253, 141, 60},
                                             {252, 78, 42},
                                             {227, 26, 28},
                                             {189, 0, 38},
                                             {128, 0, 38},
                                             {77, 0, 31}}};
constexpr std::array<Rgb, 10> kSlope = {{{84, 48, 5},
                                         {140, 81, 10},
                                         {191, 129, 45},
                                         {223, 194, 125},
                                         {246, 232, 195},
                                         {199, 234, 229},
                                         {128, 205, 193},
                                         {53, 151, 143},
                                         {1, 102, 94},
                                         {0, 60, 48}}};
constexpr std::array<Rgb, 10> kCorrelation = {{{5, 48, 97},
                                               {33, 102, 172},
                                               {67, 147, 195},
                                               {146, 197, 222},
                                               {209, 229, 240},
                                               {253, 219, 199},
                                               {244, 165, 130},
                                               {214, 96, 77},
                                               {178, 24, 43},
                                               {103, 0, 31}}};
// Below 0.01, 0.05, 0.1, and not significant.
constexpr std::array<Rgb, 4> kPValue = {{{165, 0, 38}, {244, 109, 67}, {253, 174, 97}, {224, 224, 224}}};
// The share of the values at each end that may lie beyond the scale's
// limits: the limits are the 2nd and the 98th percentile, on nice numbers.
constexpr double kTail = 0.02;

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

// The value below which a share `q` of `v` lies (nearest rank); `v` is
// reordered around it (no full sort: a picture of a dense network holds
// millions of values).
double quantile(std::vector<float>& v, double q) {
  const auto k = std::min(static_cast<std::size_t>(std::floor(q * static_cast<double>(v.size() - 1) + 0.5)),
                          v.size() - 1);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// How many of the values lie below `first` and above `last`.
std::pair<std::size_t, std::size_t> beyond(const std::vector<float>& values, double first, double last) {
  const double tol = 1e-9 * std::max({1.0, std::fabs(first), std::fabs(last)});
  std::size_t below = 0, above = 0;
  for (const float v : values) {
    below += v < first - tol;
    above += v > last + tol;
  }
  return {below, above};
}

// The ends of a scale whose limits are `first` and `last`: closed, or open
// where values lie beyond, the limit then a class boundary of its own (the
// open class holds what lies beyond it) and those values counted.
void ends(Scale& s, const std::vector<float>& values, double first, double last) {
  std::tie(s.below, s.above) = beyond(values, first, last);
  if (s.below > 0) s.levels.insert(s.levels.begin(), first);
  if (s.above > 0) s.levels.push_back(last);
  s.labels = level_labels(s.levels);
  const std::vector<double> both{first, last};
  const std::vector<std::string> l = level_labels(both);
  s.low = s.below > 0 ? "" : l[0];
  s.high = s.above > 0 ? "" : l[1];
}

Scale fixed(std::span<const double> levels, std::span<const Rgb> colours, double first, double last,
            const std::vector<float>& values) {
  Scale s;
  s.levels.assign(levels.begin(), levels.end());
  s.colours.assign(colours.begin(), colours.end());
  std::tie(s.below, s.above) = beyond(values, first, last);
  s.labels = level_labels(s.levels);
  // Values beyond a natural range (a p-value above 1) take the end colour;
  // the end stays closed, the count is kept.
  const std::vector<double> both{first, last};
  const std::vector<std::string> l = level_labels(both);
  s.low = l[0];
  s.high = l[1];
  return s;
}

// Symmetric about 0, at most five classes a side, from the bulk of the
// magnitudes.
Scale centred(std::span<const Rgb> ramp, const std::vector<float>& values) {
  std::vector<float> mag;
  for (const float v : values) mag.push_back(std::fabs(v));
  double m = quantile(mag, 1 - kTail);
  if (!(m > 0)) m = *std::max_element(mag.begin(), mag.end());
  if (!(m > 0)) m = 1;
  // At most five classes a side, an open end class included; both ends
  // open if either is, so that the scale stays symmetric.
  double step = nice_step(m / 5);
  int n = 1;
  bool open = false;
  for (;;) {
    n = std::max(1, static_cast<int>(std::ceil(m / step - 1e-9)));
    const auto [below, above] = beyond(values, -n * step, n * step);
    open = below > 0 || above > 0;
    if (n + (open ? 1 : 0) <= 5) break;
    step = nice_step(step * 1.01);
  }
  Scale s;
  const int k = n - (open ? 0 : 1);  // boundaries a side of 0
  for (int i = -k; i <= k; ++i) s.levels.push_back(i * step);
  std::tie(s.below, s.above) = beyond(values, -n * step, n * step);
  s.labels = level_labels(s.levels);
  const std::vector<double> both{-n * step, n * step};
  const std::vector<std::string> l = level_labels(both);
  s.low = open ? "" : l[0];
  s.high = open ? "" : l[1];
  const auto side = static_cast<std::size_t>(k + 1);
  s.colours = spread(ramp.first(5), side);
  const std::vector<Rgb> up = spread(ramp.last(5), side);
  s.colours.insert(s.colours.end(), up.begin(), up.end());
  return s;
}

// About eight classes between nice numbers around the bulk of the values,
// never more than eight.
Scale sequential(std::vector<float>& values) {
  double lo = quantile(values, kTail), hi = quantile(values, 1 - kTail);
  if (hi - lo < 1e-12 * std::max(1.0, std::fabs(hi))) {
    const auto [a, b] = std::minmax_element(values.begin(), values.end());
    lo = *a, hi = *b;
  }
  if (hi - lo < 1e-12 * std::max(1.0, std::fabs(hi))) {
    const double pad = std::max(std::fabs(hi) * 0.1, 0.5);
    lo -= pad;
    hi += pad;
  }
  // At most eight classes between the limits, and no more classes than
  // colours with the open end classes.
  double step = nice_step((hi - lo) / 8), first = 0, last = 0;
  for (;;) {
    first = std::floor(lo / step) * step, last = std::ceil(hi / step) * step;
    const auto [below, above] = beyond(values, first, last);
    const long closed = std::lround((last - first) / step);
    if (closed <= 8 && closed + (below > 0) + (above > 0) <= static_cast<long>(kSequential.size())) break;
    step = nice_step(step * 1.01);
  }
  const long classes = std::max(1L, std::lround((last - first) / step));
  Scale s;
  for (long i = 1; i < classes; ++i) s.levels.push_back(first + i * step);
  ends(s, values, first, last);
  s.colours = spread(kSequential, s.levels.size() + 1);
  return s;
}

// `x` in "%.*g" with `digits` significant digits, the exponent without
// its plus sign and leading zeros ("5e-7", "1.2e30").
std::string in_digits(double x, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*g", digits, x);
  std::string s(buf);
  if (const auto e = s.find('e'); e != std::string::npos) {
    std::string exp = s.substr(e + 1);
    const bool negative = exp.front() == '-';
    exp.erase(0, exp.find_first_not_of("+-0"));
    s = s.substr(0, e) + "e" + (negative ? "-" : "") + (exp.empty() ? "0" : exp);
  }
  return s == "-0" ? "0" : s;
}

}  // namespace

bool is_drawable(float v) { return std::isfinite(v) && v != kMissingValue; }

void ValueRange::add(std::span<const float> values) {
  for (const float v : values) {
    if (!is_drawable(v)) {
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

std::string value_text(double value) { return in_digits(value, 6); }

std::vector<std::string> level_labels(std::span<const double> levels) {
  double big = 0, gap = 0;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    big = std::max(big, std::fabs(levels[i]));
    if (i > 0) gap = gap == 0 ? levels[i] - levels[i - 1] : std::min(gap, levels[i] - levels[i - 1]);
  }
  if (gap <= 0) gap = big > 0 ? big : 1;
  const bool powers = big >= 1e6 || gap < 1e-3;
  std::vector<std::string> out;
  for (int digits = 1; digits <= 17; ++digits) {
    out.clear();
    bool exact = true;
    for (const double v : levels) {
      std::string l;
      if (powers) {
        l = in_digits(v, digits);
      } else {
        // Fixed notation with as many decimals as the digits ask for below
        // the greatest boundary's leading digit.
        const int lead = big > 0 ? static_cast<int>(std::floor(std::log10(big))) : 0;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", std::max(0, digits - 1 - lead), v);
        l = buf;
        if (l.find_first_not_of("-0.") == std::string::npos) l.assign(1, '0');  // no "-0.00"
      }
      exact = exact && std::fabs(std::strtod(l.c_str(), nullptr) - v) <= 1e-6 * gap;
      out.push_back(l);
    }
    std::vector<std::string> in_order = out;
    std::sort(in_order.begin(), in_order.end());
    if (exact && std::adjacent_find(in_order.begin(), in_order.end()) == in_order.end()) return out;
  }
  return out;
}

Scale make_scale(ScaleKind kind, std::vector<float>& values) {
  if (values.empty()) return {};
  switch (kind) {
    case ScaleKind::PValue: return fixed(kPValueBreaks, kPValue, 0, 1, values);
    case ScaleKind::Correlation: {
      std::vector<double> levels;
      for (int i = -4; i <= 4; ++i) levels.push_back(i / 5.0);
      return fixed(levels, kCorrelation, -1, 1, values);
    }
    case ScaleKind::Slope: return centred(kSlope, values);
    default: return sequential(values);
  }
}

}  // namespace dx
