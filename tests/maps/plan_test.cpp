// The plan of the maps, without GrADS: the frame of a network, the layout
// of the panels, and the pictures planned from the catalogue and the data
// sets the run wrote.
#include "maps/plan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "output/catalogue.hpp"
#include "support/networks.hpp"

namespace {

using dxtest::network;
using dxtest::written;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Plan, TheFrameHoldsEveryStationWithAPositionAndNoOther) {
  struct Case {
    const char* name;
    std::vector<std::pair<float, float>> positions;
    std::size_t stations;
    double lon1, lon2, lat1, lat2;
  };
  const std::vector<Case> cases = {
      // A margin of a twentieth of the extent, at least half a degree.
      {"compact", {{100, 10}, {110, 30}}, 2, 99.5, 110.5, 9, 31},
      // No position before, between or after the good ones counts.
      {"unusable positions",
       {{kNaN, 10}, {100, kNaN}, {100, 10}, {100, 95}, {110, 30}, {INFINITY, 20}, {105, -INFINITY}},
       2, 99.5, 110.5, 9, 31},
      // Latitudes never beyond the poles.
      {"polar", {{0, 89.8f}, {10, 80}}, 2, -0.5, 10.5, 79.5, 90},
      // None: the whole globe, and nothing to draw.
      {"none", {{kNaN, kNaN}}, 0, -180, 180, -90, 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const dx::Store st = network(c.positions);
    const dx::MapFrame f = dx::map_frame(st, c.positions.size(), dx::MapStyle::Auto);
    EXPECT_EQ(f.stations, c.stations);
    EXPECT_NEAR(f.lon1, c.lon1, 1e-4);
    EXPECT_NEAR(f.lon2, c.lon2, 1e-4);
    EXPECT_NEAR(f.lat1, c.lat1, 1e-4);
    EXPECT_NEAR(f.lat2, c.lat2, 1e-4);
  }
}

TEST(Plan, GriddedDrawingsCoverTheMapWithOneBoxToSpare) {
  const dx::Store st = network({{100, 10}, {110, 30}, {105, 20}});
  const dx::MapFrame f = dx::map_frame(st, 3, dx::MapStyle::Cressman);
  ASSERT_TRUE(f.gridded());
  EXPECT_TRUE(f.chosen);
  EXPECT_NEAR(f.box, (31.0 - 9.0) / 60, 1e-3);  // 60 boxes along the longer side
  EXPECT_LE(f.grid_lon, f.lon1 - f.box / 2 + 1e-9);
  EXPECT_GE(f.grid_lon + (f.grid_nx - 1) * f.box, f.lon2 + f.box / 2 - 1e-9);
  EXPECT_GE(f.grid_lat + (f.grid_ny - 1) * f.box, f.lat2 + f.box / 2 - 1e-9);
  EXPECT_FALSE(dx::map_frame(st, 3, dx::MapStyle::Auto).gridded());  // a few stations: marks
}

TEST(Plan, PanelsFitThePageAndDoNotOverlap) {
  const dx::Store st = network({{100, 10}, {110, 30}});
  const dx::MapFrame f = dx::map_frame(st, 2, dx::MapStyle::Auto);
  const std::vector<dx::Picture> pictures = dx::plan_pictures(st, written(st), f);
  // 11 named data sets, 2 x 2 per-period sets, 2 x 18 classes across the periods.
  ASSERT_EQ(pictures.size(), 11u + 4u + 36u);
  for (const dx::Picture& p : pictures) {
    SCOPED_TRACE(p.name);
    for (std::size_t i = 0; i < p.panels.size(); ++i) {
      const dx::Box& m = p.panels[i].map;
      EXPECT_GT(m.width(), 0.2);
      EXPECT_GE(m.x1, 0);
      EXPECT_LE(m.x2, dx::kPageWidth);
      EXPECT_GT(m.y1, dx::kColourBar.y2);
      EXPECT_LT(m.y2, 7.8);  // below the subtitle
      // The map keeps the region's shape.
      EXPECT_NEAR(m.height() / m.width(), (f.lat2 - f.lat1) / (f.lon2 - f.lon1), 1e-6);
      for (std::size_t j = 0; j < i; ++j) {
        const dx::Box& o = p.panels[j].map;
        EXPECT_TRUE(m.x2 <= o.x1 || o.x2 <= m.x1 || m.y2 <= o.y1 || o.y2 <= m.y1) << i << " over " << j;
      }
    }
  }
  // The per-period sets are named as the run names their files.
  EXPECT_EQ(pictures[11].name, "Fre_01");
  EXPECT_EQ(pictures[14].sources.front().base, "Mag_02");
  EXPECT_EQ(pictures.back().name, "Mag_spi12_ext");
  EXPECT_EQ(pictures.back().sources.size(), 2u);
}

// GrADS draws a panel whose stations all hold one value in a colour of its
// own, whatever the levels: the plan names the class whose colour it takes.
TEST(Plan, APanelOfOneValueTakesTheColourOfItsClass) {
  const dx::Store st = network({{100, 10}, {101, 11}}, 1, 7.0f);
  const dx::MapFrame f = dx::map_frame(st, 2, dx::MapStyle::Auto);
  const std::vector<dx::Picture> pictures = dx::plan_pictures(st, written(st), f);
  const dx::Picture& p = pictures.front();
  ASSERT_EQ(p.scale.levels.size(), 7u);  // 6.4 6.6 6.8 7 7.2 ...: 7 lies in the fifth class
  EXPECT_EQ(p.panels.front().one_class, 4);
  EXPECT_EQ(p.panels.front().note, "every value 7");
}

TEST(Plan, NoStationWithAPositionPlansNoPicture) {
  const dx::Store st = network({{kNaN, 10}});
  EXPECT_TRUE(dx::plan_pictures(st, written(st), dx::map_frame(st, 1, dx::MapStyle::Auto)).empty());
}

}  // namespace
