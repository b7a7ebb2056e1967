#include "maps/coasts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "support/fs.hpp"

namespace dx {
namespace {

// Bytes of a map data set: a 24-bit big-endian number.
std::string u24(double v) {
  const auto n = static_cast<std::uint32_t>(std::lround(v * 1e4));
  return {static_cast<char>(n >> 16), static_cast<char>(n >> 8 & 255), static_cast<char>(n & 255)};
}
std::string line_record(int kind, const std::vector<LonLat>& points) {
  std::string r = {1, static_cast<char>(kind), static_cast<char>(points.size())};
  for (const LonLat& p : points) r += u24(p.lon) + u24(p.lat + 90);
  return r;
}
std::string skip_record() {
  std::string r = {2, 0, static_cast<char>(255), 0, 0, 0, 0};
  return r + u24(0) + u24(90) + u24(135) + u24(180);
}

TEST(Coasts, ReadsLineRecordsAndPassesOverSkipRecords) {
  const std::string bytes = skip_record() + line_record(0, {{105.5, 21.25}, {106, 20}}) + skip_record() +
                            line_record(1, {{359.9999, -89.5}, {0, 89.5}, {180, 0}});
  const std::vector<MapLine> lines = read_map_lines(bytes, "test");
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_EQ(lines[0].size(), 2u);
  EXPECT_DOUBLE_EQ(lines[0][0].lon, 105.5);
  EXPECT_DOUBLE_EQ(lines[0][0].lat, 21.25);
  ASSERT_EQ(lines[1].size(), 3u);
  EXPECT_DOUBLE_EQ(lines[1][0].lon, 359.9999);
  EXPECT_DOUBLE_EQ(lines[1][0].lat, -89.5);
  EXPECT_DOUBLE_EQ(lines[1][2].lon, 180);
}

TEST(Coasts, RefusesBrokenData) {
  const std::string good = line_record(0, {{1, 1}, {2, 2}});
  const struct {
    const char* name;
    std::string bytes;
    const char* words;
  } cases[] = {
      {"cut in a header", good + std::string{1, 0}, "a record is cut short"},
      {"cut in the points", good.substr(0, good.size() - 1), "a record is cut short"},
      {"cut in a skip record", skip_record().substr(0, 10), "a record is cut short"},
      {"an unknown type", std::string{7, 0, 0}, "unknown record type 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      read_map_lines(c.bytes, "/x/mres");
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("map data /x/mres: " + std::string(c.words)), std::string::npos) << e.what();
    }
  }
}

// The extract's lines, decoded back to degrees.
std::vector<MapLine> decode(const std::string& text, const MapFrame& f, double step) {
  std::vector<MapLine> lines;
  std::size_t i = 1;
  while (i < text.size() && text[i] == '[') {
    MapLine line;
    long x = 0, y = 0;
    ++i;
    while (text[i] != ']') {
      std::size_t used = 0;
      x += std::stol(text.substr(i), &used);
      i += used + 1;
      y += std::stol(text.substr(i), &used);
      i += used;
      if (text[i] == ',') ++i;
      line.push_back({f.lon1 + static_cast<double>(x) * step, f.lat1 + static_cast<double>(y) * step});
    }
    lines.push_back(line);
    i += 2;  // "]," or "]]"
  }
  return lines;
}

TEST(Coasts, ExtractKeepsWhatLiesInTheFrameShiftedIntoItsWindow) {
  MapFrame f;
  f.lon1 = -20, f.lon2 = 20, f.lat1 = -10, f.lat2 = 10;
  const double step = 0.5;
  const std::vector<MapLine> lines = {
      {{100, 0}, {101, 1}},  // outside
      // 350 and 355 are -10 and -5 here (355.1 rounds onto 355's point and
      // is dropped); the line crosses 0 and goes on at 5 and 6.
      {{350, 0}, {355, 1}, {355.1, 1.1}, {5, 2}, {6, 2}},
      {{0, -30}, {0, -20}, {1, 0}, {2, 5}, {3, 40}, {4, 50}},  // crosses the frame: one point beyond each edge
  };
  const std::string text = coast_extract(lines, f, step);
  const std::vector<MapLine> got = decode(text, f, step);
  const std::vector<std::vector<double>> want_lon = {{-10, -5}, {5, 6}, {0, 1, 2, 3}};
  ASSERT_EQ(got.size(), want_lon.size()) << text;
  for (std::size_t l = 0; l < got.size(); ++l) {
    ASSERT_EQ(got[l].size(), want_lon[l].size()) << text;
    for (std::size_t p = 0; p < got[l].size(); ++p) EXPECT_DOUBLE_EQ(got[l][p].lon, want_lon[l][p]) << text;
  }
  EXPECT_DOUBLE_EQ(got[2].front().lat, -20);
  EXPECT_DOUBLE_EQ(got[2].back().lat, 40);
}

TEST(Coasts, DetailFollowsTheRegionsSize) {
  const struct {
    double lon1, lon2, lat1, lat2;
    Projection projection;
    const char* detail;
  } cases[] = {
      {102, 110, 8, 24, Projection::LatLon, "hires"},      {60, 150, -10, 50, Projection::LatLon, "mres"},
      {-180, 180, -90, 90, Projection::LatLon, "lowres"},  {-170, 190, 30, 90, Projection::NorthPolar, "lowres"},
      {-170, 190, 60, 90, Projection::NorthPolar, "mres"}, {-170, 190, 80, 90, Projection::NorthPolar, "hires"},
  };
  for (const auto& c : cases) {
    MapFrame f;
    f.lon1 = c.lon1, f.lon2 = c.lon2, f.lat1 = c.lat1, f.lat2 = c.lat2, f.projection = c.projection;
    EXPECT_STREQ(coast_detail(f), c.detail) << c.lon1 << ".." << c.lon2 << ", " << c.lat1 << ".." << c.lat2;
  }
}

// GrADS' own files, where GrADS is installed: every point on the globe,
// the coasts of every continent.
TEST(Coasts, ReadsGradsOwnMapData) {
  for (const char* name : {"lowres", "mres", "hires"}) {
    const std::string path = map_data_folder() + "/" + name;
    if (!dxtest::file_exists(path)) GTEST_SKIP() << "GrADS' map data are not installed: " << path;
    const std::vector<MapLine> lines = read_map_lines(dxtest::read_file(path), path);
    double south = 90, north = -90, west = 360, east = 0;
    for (const MapLine& l : lines) {
      for (const LonLat& p : l) {
        ASSERT_TRUE(p.lon >= 0 && p.lon <= 360 && p.lat >= -90 && p.lat <= 90) << name << " " << p.lon << " " << p.lat;
        south = std::min(south, p.lat), north = std::max(north, p.lat);
        west = std::min(west, p.lon), east = std::max(east, p.lon);
      }
    }
    EXPECT_GT(lines.size(), 300u) << name;
    EXPECT_LT(south, -70) << name << ": Antarctica";
    EXPECT_GT(north, 80) << name << ": Greenland";
    EXPECT_LT(west, 1) << name;
    EXPECT_GT(east, 359) << name;
  }
}

}  // namespace
}  // namespace dx
