// The colour scales of the pictures, without GrADS.
#include "maps/scale.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

namespace {

using dx::ScaleKind;

TEST(Scale, FitsTheStatisticAndLeavesOffWhatGradsCannotDraw) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    ScaleKind kind;
    std::vector<float> values;
    std::vector<double> levels;
    std::string low, high;
    std::size_t left_off;
  };
  const std::vector<Case> cases = {
      // Frequencies 0.4 .. 38.9: steps of 5 from 0 to 40; NaN, both
      // infinities and GrADS' missing value are not part of the range.
      {ScaleKind::Sequential, {0.4f, 12.0f, nan, 38.9f, inf, -inf, -9999.0f}, {5, 10, 15, 20, 25, 30, 35}, "0",
       "40", 4},
      // One value only: a scale around it, not a division by zero.
      {ScaleKind::Sequential, {7.0f, 7.0f}, {6.4, 6.6, 6.8, 7, 7.2, 7.4, 7.6}, "6.2", "7.8", 0},
      // 0.5 .. 8.5 would take nine classes of 1: the step doubles instead,
      // as no ramp has more than eight colours.
      {ScaleKind::Sequential, {0.5f, 8.5f}, {2, 4, 6, 8}, "0", "10", 0},
      // Slopes: centred on 0 however lopsided the values.
      {ScaleKind::Diverging, {-0.01f, 0.047f}, {-0.04, -0.03, -0.02, -0.01, 0, 0.01, 0.02, 0.03, 0.04}, "-0.05",
       "0.05", 0},
      {ScaleKind::PValue, {0.3f, nan}, {0.01, 0.05, 0.1}, "0", "1", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.values));
    dx::ValueRange r;
    r.add(c.values);
    const dx::Scale s = dx::make_scale(c.kind, r);
    ASSERT_EQ(s.levels.size(), c.levels.size());
    for (std::size_t i = 0; i < c.levels.size(); ++i) EXPECT_NEAR(s.levels[i], c.levels[i], 1e-9) << i;
    EXPECT_EQ(s.colours.size(), s.levels.size() + 1);
    // Every class its own colour.
    std::set<std::uint32_t> distinct;
    for (const dx::Rgb& k : s.colours) distinct.insert(static_cast<std::uint32_t>(k.r << 16 | k.g << 8 | k.b));
    EXPECT_EQ(distinct.size(), s.colours.size());
    EXPECT_EQ(s.labels.size(), s.levels.size());
    EXPECT_EQ(s.low, c.low);
    EXPECT_EQ(s.high, c.high);
    EXPECT_EQ(r.left_off, c.left_off);
  }
}

}  // namespace
