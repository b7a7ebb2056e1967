// The plan of the maps, without GrADS: the frame of a network (its window
// of longitudes, its projection, the stations left off), the layout of the
// panels, and the pictures planned from the catalogue and the data sets the
// run wrote: headings, scales, significance, missing values, captions.
#include "maps/plan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "output/catalogue.hpp"
#include "support/networks.hpp"

namespace {

using dxtest::network;
using dxtest::written;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The picture named `name`.
const dx::Picture& picture(const std::vector<dx::Picture>& pictures, const std::string& name) {
  for (const dx::Picture& p : pictures)
    if (p.name == name) return p;
  ADD_FAILURE() << "no picture " << name;
  return pictures.front();
}

TEST(Plan, TheFrameIsTheRegionOfTheStationsWithAUsablePosition) {
  using P = dx::Projection;
  struct Case {
    const char* name;
    std::vector<std::pair<float, float>> positions;
    std::size_t stations, unusable;
    P projection;
    double lon1, lon2, lat1, lat2;
  };
  std::vector<std::pair<float, float>> world;
  for (int i = 0; i < 36; ++i) world.emplace_back(-180 + 10 * i, i % 2 ? -50 : 70);
  const std::vector<Case> cases = {
      // A margin of a twentieth of the extent, at least half a degree.
      {"compact", {{100, 10}, {110, 30}}, 2, 0, P::LatLon, 99.5, 110.5, 9, 31},
      // Not finite, beyond a pole or beyond -180..360: left off, counted,
      // before, between or after the good ones.
      {"unusable positions",
       {{kNaN, 10}, {100, kNaN}, {100, 10}, {100, 95}, {400, 20}, {110, 30}, {-200, 20}, {INFINITY, 20}},
       2,
       6,
       P::LatLon,
       99.5,
       110.5,
       9,
       31},
      // Across the date line, in either convention: one region.
      {"date line, -180..180", {{178, -18}, {-178, -14}}, 2, 0, P::LatLon, 177.5, 182.5, -18.5, -13.5},
      {"date line, 0..360", {{178, -18}, {182, -14}}, 2, 0, P::LatLon, 177.5, 182.5, -18.5, -13.5},
      {"Greenwich, 0..360", {{355, 50}, {5, 52}}, 2, 0, P::LatLon, -5.5, 5.5, 49.5, 52.5},
      // The world: never more than the globe.  Two far apart are not a world.
      {"world", world, 36, 0, P::LatLon, -180, 180, -56, 76},
      {"two far apart", {{-170, -50}, {170, 70}}, 2, 0, P::LatLon, 169, 191, -56, 76},
      // Far north and far south, a station at the pole: polar, the whole
      // circle, the pole inside.
      {"north pole", {{0, 90}, {100, 70}}, 2, 0, P::NorthPolar, -130, 230, 69, 90},
      {"south pole", {{0, -90}, {50, -70}}, 2, 0, P::SouthPolar, -155, 205, -90, -69},
      // All at one point: a small region around it.
      {"one point", {{105, 15}, {105, 15}, {105, 15}}, 3, 0, P::LatLon, 104.5, 105.5, 14.5, 15.5},
      // None: the whole globe, and nothing to draw.
      {"none", {{kNaN, kNaN}, {500, 0}}, 0, 2, P::LatLon, -180, 180, -90, 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const dx::Store st = network(c.positions);
    const dx::MapFrame f = dx::map_frame(st, c.positions.size(), dx::MapStyle::Auto);
    EXPECT_EQ(f.stations, c.stations);
    EXPECT_EQ(f.unusable, c.unusable);
    EXPECT_EQ(f.projection, c.projection);
    EXPECT_NEAR(f.lon1, c.lon1, 1e-4);
    EXPECT_NEAR(f.lon2, c.lon2, 1e-4);
    EXPECT_NEAR(f.lat1, c.lat1, 1e-4);
    EXPECT_NEAR(f.lat2, c.lat2, 1e-4);
    if (f.projection == P::LatLon && f.stations > 0) {
      // A degree of longitude as wide as at the middle latitude.
      const double mid = (f.lat1 + f.lat2) / 2 * 3.14159265358979 / 180;
      EXPECT_NEAR(f.aspect, (f.lon2 - f.lon1) * std::max(std::cos(mid), 0.2) / (f.lat2 - f.lat1), 1e-9);
    }
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
  // Stations at one point: marks, not a speck of one box, and the caption
  // says why.
  const dx::Store point = network(std::vector<std::pair<float, float>>(50, {105, 15}));
  const dx::MapFrame crowded = dx::map_frame(point, 50, dx::MapStyle::Boxes);
  EXPECT_FALSE(crowded.gridded());
  EXPECT_NE(dx::drawing_words(crowded).find("too close together"), std::string::npos);
}

// Panels by the data's structure, fitting the page, never over each other
// or over the colour bar, every map the region's shape.
TEST(Plan, PanelsAreLaidOutByClassAndIndexAndFitThePage) {
  const struct {
    std::size_t panels;
    double aspect;
    int rows, cols;
    bool down;
  } grids[] = {{18, 0.5, 3, 6, false}, {12, 0.5, 3, 4, false}, {18, 4, 6, 3, true}, {12, 4, 4, 3, true}};
  for (const auto& g : grids) {
    const dx::Layout l = dx::layout(g.panels, g.aspect);
    EXPECT_EQ(l.rows, g.rows) << g.panels << " " << g.aspect;
    EXPECT_EQ(l.cols, g.cols) << g.panels << " " << g.aspect;
    EXPECT_EQ(l.down, g.down) << g.panels << " " << g.aspect;
  }
  for (const auto& positions : std::vector<std::vector<std::pair<float, float>>>{
           {{100, 10}, {110, 30}}, {{-10, 36}, {30, 70}}, {{-170, -50}, {170, 70}}, {{0, 90}, {100, 70}}}) {
    const dx::Store st = network(positions);
    const dx::MapFrame f = dx::map_frame(st, 2, dx::MapStyle::Auto);
    const std::vector<dx::Picture> pictures = dx::plan_pictures(st, written(st), f);
    // 11 named data sets, 2 x 2 per-period sets, 2 x 18 classes across the periods.
    ASSERT_EQ(pictures.size(), 11u + 4u + 36u);
    for (const dx::Picture& p : pictures) {
      SCOPED_TRACE(p.name + " at " + std::to_string(positions.front().first));
      EXPECT_GE(p.bar.y1 - 0.6 - 0.17 * static_cast<double>(p.caption.size()), 0.0);  // the caption on the page
      for (std::size_t i = 0; i < p.panels.size(); ++i) {
        const dx::Box& m = p.panels[i].map;
        EXPECT_GT(m.width(), 0.2);
        EXPECT_GE(m.x1, 0);
        EXPECT_LE(m.x2, dx::kPageWidth);
        EXPECT_GT(m.y1 - 0.2, p.bar.y2);  // its note above the bar
        EXPECT_LT(m.y2 + 0.22, 7.7);      // its heading below the subtitle
        EXPECT_NEAR(m.width() / m.height(), f.aspect, 1e-6);
        for (std::size_t j = 0; j < i; ++j) {
          const dx::Box& o = p.panels[j].map;
          EXPECT_TRUE(m.x2 <= o.x1 || o.x2 <= m.x1 || m.y2 + 0.22 <= o.y1 - 0.2 || o.y2 + 0.22 <= m.y1 - 0.2)
              << i << " over " << j;
        }
      }
    }
  }
}

// Headings say what was read, in words, and no two panels share one.
TEST(Plan, HeadingsNameWhatEachPanelHolds) {
  dx::Store st = network({{100, 10}, {110, 30}}, 3);
  st.PERIODS.allocate({3});
  st.PERIODS(0) = 1961, st.PERIODS(1) = 1971, st.PERIODS(2) = 1981;
  const std::vector<dx::Picture> pictures = dx::plan_pictures(st, written(st),
                                                              dx::map_frame(st, 2, dx::MapStyle::Auto));
  const struct {
    const char* picture;
    std::size_t panel;
    const char* heading;
  } cases[] = {
      {"Fre_all", 0, "PDSI, moderate"},
      {"Fre_all", 9, "SPEI-12, severe"},
      {"Sensl", 1, "scPDSI"},
      {"Corre", 0, "PDSI vs SPI-1"},
      {"Prob1", 11, "SPEI-12 vs SPI-12"},
      // The per-period variables are named with SPI-1 and SPI-3.
      {"Fre_02", 2, "SPI-1, moderate"},
      {"Mag_spi03_ext", 0, "period 1961"},
      {"Mag_spi03_ext", 2, "period 1981"},
  };
  for (const auto& c : cases) {
    const dx::Picture& p = picture(pictures, c.picture);
    ASSERT_GT(p.panels.size(), c.panel) << c.picture;
    EXPECT_EQ(p.panels[c.panel].heading, c.heading) << c.picture;
  }
  EXPECT_EQ(picture(pictures, "Fre_spi03_ext").title, "Drought frequency by period, SPI-3, extreme");
  for (const dx::Picture& p : pictures) {
    std::set<std::string> headings;
    for (const dx::Panel& pan : p.panels) EXPECT_TRUE(headings.insert(pan.heading).second) << p.name << pan.heading;
  }
}

// What the colour bar, the marks over the values and the caption say.
TEST(Plan, PicturesSayWhatTheirValuesAreAndWhatIsMissing) {
  dx::Store st = network({{100, 10}, {110, 30}, {kNaN, 20}, {105, 20}});
  st.SENSL.units = "1/month";
  st.SENSL(0, 1) = kNaN;
  st.SENSL(1, 1) = -9999.0f;
  st.PROB(0, 0) = 0.3f, st.PROB(1, 0) = 0.01f, st.PROB(3, 0) = 0.5f;
  const dx::MapFrame f = dx::map_frame(st, 4, dx::MapStyle::Boxes);
  const std::vector<dx::Picture> pictures = dx::plan_pictures(st, written(st), f);
  const dx::Picture& sensl = picture(pictures, "Sensl");
  EXPECT_EQ(sensl.quantity, "Sen's slope (1/month)");
  EXPECT_EQ(picture(pictures, "Fre_all").quantity, "Drought frequency");  // no unit in the file, none guessed
  // The significant stations of the slopes, from Prob.
  ASSERT_EQ(sensl.significance, 1);
  EXPECT_EQ(sensl.sources[1].base, "Prob");
  EXPECT_EQ(picture(pictures, "Corre").sources[1].base, "Prob1");
  // p-values by significance, whatever the drawing: the least significant
  // first, the most significant last, on top.
  const dx::Picture& prob = picture(pictures, "Prob");
  EXPECT_TRUE(prob.by_significance);
  EXPECT_FALSE(sensl.by_significance);
  ASSERT_GE(prob.ordered, 0);
  const auto& order = prob.draw_sets[static_cast<std::size_t>(prob.ordered)];
  EXPECT_EQ(order.name, "Prob_by_p");
  ASSERT_EQ(order.steps.size(), 6u);
  std::vector<std::uint32_t> stations;
  for (const dx::StationReport& r : order.steps[0]) stations.push_back(r.station);
  EXPECT_EQ(stations, (std::vector<std::uint32_t>{2, 3, 0, 1}));
  // The rings: the stations below 0.05 at the same step; the missing
  // values of each panel.
  const auto& rings = sensl.draw_sets[static_cast<std::size_t>(sensl.ringed)].steps;
  ASSERT_EQ(rings.size(), 6u);
  ASSERT_EQ(rings[0].size(), 1u);
  EXPECT_EQ(rings[0][0].station, 1u);
  EXPECT_TRUE(rings[1].empty());
  EXPECT_TRUE(sensl.panels[0].rings);
  EXPECT_FALSE(sensl.panels[1].rings);
  const auto& missing = sensl.draw_sets[static_cast<std::size_t>(sensl.missing)].steps;
  ASSERT_EQ(missing.size(), 6u);
  EXPECT_TRUE(missing[0].empty());
  ASSERT_EQ(missing[1].size(), 2u);
  EXPECT_EQ(missing[1][0].station, 0u);
  EXPECT_EQ(missing[1][1].station, 1u);
  // Each panel its own count of missing values.
  EXPECT_EQ(sensl.panels[0].note, "every value 1");
  EXPECT_EQ(sensl.panels[1].note, "every value 1, 2 missing");
  EXPECT_EQ(sensl.panels[1].values.left_off, 2u);
  // The station without a position, in every caption.
  for (const dx::Picture& p : pictures) {
    std::string caption;
    for (const std::string& l : p.caption) caption += l + " ";
    EXPECT_NE(caption.find("1 station without a usable position left off."), std::string::npos) << caption;
  }
}

// On a dense network only the mark on top in each spot is drawn: of the
// stations at one place, the most significant.
TEST(Plan, DenseNetworksDrawOnlyTheMarksOnTop) {
  std::vector<std::pair<float, float>> positions;
  for (int i = 0; i < 6000; ++i) positions.emplace_back(100 + (i % 60) * 0.2f, 10 + (i % 60) * 0.2f);
  dx::Store st = network(positions, 1);
  for (std::size_t s = 0; s < 6000; ++s) st.PROB(s, 0) = static_cast<float>(s) / 6000;
  const auto pictures = dx::plan_pictures(st, written(st), dx::map_frame(st, 6000, dx::MapStyle::Auto));
  const dx::Picture& prob = picture(pictures, "Prob");
  const auto& step = prob.draw_sets[static_cast<std::size_t>(prob.ordered)].steps[0];
  std::vector<std::uint32_t> kept;
  for (const dx::StationReport& r : step) kept.push_back(r.station);
  std::vector<std::uint32_t> want;
  for (std::uint32_t s = 60; s-- > 0;) want.push_back(s);
  EXPECT_EQ(kept, want);
}

TEST(Plan, CoastsFollowTheScaleOfTheMaps) {
  const struct {
    std::vector<std::pair<float, float>> positions;
    const char* coasts;
  } cases[] = {
      {{{4, 51}, {7, 53}}, "hires"},
      {{{-125, 25}, {-67, 49}}, "mres"},
      {{{-10, 36}, {30, 70}}, "mres"},
      {{{-180, -50}, {0, 70}, {90, 0}, {170, 10}, {-90, 30}}, "lowres"},
  };
  for (const auto& c : cases) {
    const dx::Store st = network(c.positions);
    const auto pictures = dx::plan_pictures(st, written(st), dx::map_frame(st, c.positions.size(), dx::MapStyle::Auto));
    EXPECT_EQ(picture(pictures, "Fre_all").coasts, c.coasts) << c.positions.front().first;
  }
}

TEST(Plan, NoStationWithAPositionPlansNoPicture) {
  const dx::Store st = network({{kNaN, 10}});
  EXPECT_TRUE(dx::plan_pictures(st, written(st), dx::map_frame(st, 1, dx::MapStyle::Auto)).empty());
}

}  // namespace
