// The colour scales of the pictures, without GrADS.
#include "maps/scale.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

namespace {

using dx::ScaleKind;

// `n` values spread evenly over `lo`..`hi`.
std::vector<float> spread(float lo, float hi, int n) {
  std::vector<float> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * static_cast<float>(i) / static_cast<float>(n - 1));
  return v;
}

TEST(Scale, FitsTheStatisticAndNoOutlierMovesIt) {
  struct Case {
    const char* name;
    ScaleKind kind;
    std::vector<float> values;
    std::vector<double> levels;
    std::string low, high;  // "" for an open end
    std::size_t below, above;
  };
  std::vector<float> outlier = spread(0.4f, 38.9f, 1000);
  outlier.push_back(1e30f);
  std::vector<float> low_outliers = spread(0.4f, 38.9f, 1000);
  low_outliers.insert(low_outliers.end(), {-500.0f, -200.0f});
  const std::vector<Case> cases = {
      // Frequencies 0.4 .. 38.9: steps of 5 from 0 to 40.
      {"frequencies", ScaleKind::Sequential, {0.4f, 12.0f, 38.9f}, {5, 10, 15, 20, 25, 30, 35}, "0", "40", 0, 0},
      // One value only: a scale around it, not a division by zero.
      {"one value", ScaleKind::Sequential, {7.0f, 7.0f}, {6.4, 6.6, 6.8, 7, 7.2, 7.4, 7.6}, "6.2", "7.8", 0, 0},
      // 0.5 .. 8.5 would take nine classes of 1: the step doubles instead,
      // as no ramp has more than eight colours.
      {"nine classes", ScaleKind::Sequential, {0.5f, 8.5f}, {2, 4, 6, 8}, "0", "10", 0, 0},
      // One value of 1e30 among a thousand: the scale of the thousand, the
      // outlier in an open end class and counted.
      {"outlier", ScaleKind::Sequential, outlier, {5, 10, 15, 20, 25, 30, 35, 40}, "0", "", 0, 1},
      {"low outliers", ScaleKind::Sequential, low_outliers, {0, 5, 10, 15, 20, 25, 30, 35}, "", "40", 2, 0},
      // Slopes: centred on 0 however lopsided the values.
      {"slopes",
       ScaleKind::Slope,
       {-0.01f, 0.047f},
       {-0.04, -0.03, -0.02, -0.01, 0, 0.01, 0.02, 0.03, 0.04},
       "-0.05",
       "0.05",
       0,
       0},
      // Slopes per month are often this small.
      {"small slopes",
       ScaleKind::Slope,
       {-5e-7f, 2e-7f, 5e-7f},
       {-4e-7, -3e-7, -2e-7, -1e-7, 0, 1e-7, 2e-7, 3e-7, 4e-7},
       "-5e-7",
       "5e-7",
       0,
       0},
      // Correlations: their natural range, whatever the values.
      {"correlations",
       ScaleKind::Correlation,
       {0.3f, -0.2f},
       {-0.8, -0.6, -0.4, -0.2, 0, 0.2, 0.4, 0.6, 0.8},
       "-1",
       "1",
       0,
       0},
      {"p-values", ScaleKind::PValue, {0.3f}, {0.01, 0.05, 0.1}, "0", "1", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> values = c.values;
    const dx::Scale s = dx::make_scale(c.kind, values);
    ASSERT_EQ(s.levels.size(), c.levels.size());
    for (std::size_t i = 0; i < c.levels.size(); ++i) EXPECT_NEAR(s.levels[i], c.levels[i], 1e-9 * 40) << i;
    EXPECT_EQ(s.colours.size(), s.levels.size() + 1);
    EXPECT_LE(s.colours.size(), 10u);
    // Every class its own colour, every boundary its own label.
    std::set<std::uint32_t> colours;
    for (const dx::Rgb& k : s.colours) colours.insert(static_cast<std::uint32_t>(k.r << 16 | k.g << 8 | k.b));
    EXPECT_EQ(colours.size(), s.colours.size());
    EXPECT_EQ(std::set<std::string>(s.labels.begin(), s.labels.end()).size(), s.levels.size());
    EXPECT_EQ(s.low, c.low);
    EXPECT_EQ(s.high, c.high);
    EXPECT_EQ(s.below, c.below);
    EXPECT_EQ(s.above, c.above);
  }
  std::vector<float> none;
  EXPECT_TRUE(dx::make_scale(ScaleKind::Sequential, none).empty());  // no values: no colour bar
}

TEST(Scale, LabelsTellTheLevelsApartInTheFewestDigits) {
  const std::vector<std::pair<std::vector<double>, std::vector<std::string>>> cases = {
      {{0.01, 0.05, 0.1}, {"0.01", "0.05", "0.10"}},
      {{-0.02, 0, 0.02}, {"-0.02", "0", "0.02"}},
      {{6.4, 6.6}, {"6.4", "6.6"}},
      {{5, 10, 15}, {"5", "10", "15"}},
      {{-4e-7, 0, 4e-7}, {"-4e-7", "0", "4e-7"}},
      {{1e30, 2e30}, {"1e30", "2e30"}},
      {{1000.25, 1000.5}, {"1000.25", "1000.50"}},
  };
  for (const auto& [levels, labels] : cases) EXPECT_EQ(dx::level_labels(levels), labels);
}

TEST(Scale, ValuesGradsCannotDrawAreCountedApart) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  dx::ValueRange r;
  r.add(std::vector<float>{0.4f, nan, 38.9f, inf, -inf, -9999.0f});
  EXPECT_EQ(r.drawable, 2u);
  EXPECT_EQ(r.left_off, 4u);
  EXPECT_EQ(r.min, 0.4f);
  EXPECT_EQ(r.max, 38.9f);
}

}  // namespace
