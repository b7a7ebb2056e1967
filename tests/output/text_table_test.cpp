#include "output/text_table.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/labels.hpp"
#include "base/text.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"

namespace dx {
namespace {

using dxtest::read_file;
using dxtest::TempDir;

// The inputs of one table: coordinates, region codes and a station-major
// value array.
struct Table {
  Array1 lon, lat, reg;
  Array2 values;

  Table(std::size_t nstn, std::size_t ncol) : lon({nstn}), lat({nstn}), reg({nstn}), values({nstn, ncol}) {}

  void write(const std::string& path, std::span<const std::string_view> names, std::string_view title = "Sen's slopes",
             std::int32_t ncol = -1) const {
    const std::string full_title = pad_to(title, kTitleLen);
    DirectSink sink;
    write_to_text(sink, values, static_cast<std::int32_t>(lon.size()),
                  ncol < 0 ? static_cast<std::int32_t>(values.extent(1)) : ncol, lon, lat, reg, names, full_title,
                  path);
  }
};

TEST(TextTable, WorkedExample) {
  TempDir dir;
  Table t(1, 2);
  t.reg(0) = 3.0f;
  t.lon(0) = 105.5f;
  t.lat(0) = 21.25f;
  t.values(0, 0) = 12.0f;
  t.values(0, 1) = -1.25f;
  // Names arrive blank-padded to their 15 characters.
  const std::string pdsi = pad_to("pdsi", kLabelLen), scpdsi = pad_to("scpdsi", kLabelLen);
  const std::string_view names[] = {pdsi, scpdsi};
  // A file name with trailing blanks: the blanks are not part of the name.
  t.write(dir / "Sensl.txt   ", names, "Sen's slopes theo cac chi so cua cac tram");

  EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{"Sensl.txt"});
  EXPECT_EQ(read_file(dir / "Sensl.txt"), pad_to("Sen's slopes theo cac chi so cua cac tram", 100) + "\n" +
                                              "Reg    Lon     Lat          pdsi      scpdsi\n"
                                              "   3 105.500  21.250      12.000      -1.250\n");
}

TEST(TextTable, ZeroStationsGiveTitleAndHeaderOnly) {
  TempDir dir;
  Table t(0, 12);
  t.write(dir / "Corre_IDX.txt", COR_NAME, "Corr");
  const std::vector<std::string> lines = dxtest::lines_of(read_file(dir / "Corre_IDX.txt"));
  ASSERT_EQ(lines.size(), 2u);
  // The title line is always 100 characters, padded with blanks.
  EXPECT_EQ(lines[0], "Corr" + std::string(96, ' '));
  // 12-character names touch their neighbour; 13-character ones lose their tail.
  EXPECT_EQ(lines[1],
            "Reg    Lon     Lat  "
            " pdsi-spei06 pdsi-spei12  pdsi-spi06  pdsi-spi12scpdsi-spei0scpdsi-spei1"
            "scpdsi-spi06scpdsi-spi12spei06-spi06spei12-spi12spei06-spi06spei12-spi12");
}

struct FieldCase {
  const char* what;
  float reg, lon, lat, value;
  const char* line;  // the whole data line (one column)
};

TEST(TextTable, FieldsTruncateRoundAndOverflowToAsterisks) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const FieldCase cases[] = {
      {"region code truncated, not rounded", 2.999f, 0.0f, 0.0f, 0.0f, "   2   0.000   0.000       0.000"},
      {"negative region code toward zero", -0.5f, 0.0f, 0.0f, 0.0f, "   0   0.000   0.000       0.000"},
      {"negative region code", -2.7f, -8.1234f, 0.5f, 12.3456f, "  -2  -8.123   0.500      12.346"},
      {"region code at the field limits", -999.0f, 1000.0f, -999.999f, 0.0f, "-9991000.000-999.999       0.000"},
      {"region code too large", 10000.0f, 0.0f, 0.0f, 0.0f, "****   0.000   0.000       0.000"},
      {"region code too small", -1000.0f, 0.0f, 0.0f, 0.0f, "****   0.000   0.000       0.000"},
      {"region code beyond 32 bits", 3.0e9f, 0.0f, 0.0f, 0.0f, "****   0.000   0.000       0.000"},
      {"region code not a number", nan, 0.0f, 0.0f, 0.0f, "****   0.000   0.000       0.000"},
      {"longitude too wide", 1.0f, 10000.0f, 0.0f, 0.0f, "   1********   0.000       0.000"},
      {"longitude that rounds too wide", 1.0f, 9999.9996f, 0.0f, 0.0f, "   1********   0.000       0.000"},
      {"latitude too wide", 1.0f, 0.0f, -1000.0f, 0.0f, "   1   0.000********       0.000"},
      {"value filling its field", 1.0f, 0.0f, 0.0f, 12345678.0f, "   1   0.000   0.00012345678.000"},
      {"negative value filling its field", 1.0f, 0.0f, 0.0f, -1234567.0f, "   1   0.000   0.000-1234567.000"},
      {"value too wide", 1.0f, 0.0f, 0.0f, 1.0e8f, "   1   0.000   0.000************"},
      {"negative value too wide", 1.0f, 0.0f, 0.0f, -1.0e7f, "   1   0.000   0.000************"},
      {"huge value", 1.0f, 0.0f, 0.0f, 1.0e30f, "   1   0.000   0.000************"},
      {"missing-data value", 1.0f, 0.0f, 0.0f, kMissingValue, "   1   0.000   0.000   -9999.000"},
  };
  TempDir dir;
  const std::string_view names[] = {"pdsi"};
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    Table t(1, 1);
    t.reg(0) = c.reg;
    t.lon(0) = c.lon;
    t.lat(0) = c.lat;
    t.values(0, 0) = c.value;
    t.write(dir / "f.txt", names);
    const std::vector<std::string> lines = dxtest::lines_of(read_file(dir / "f.txt"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], c.line);
  }
}

TEST(TextTable, ManyStationsComeOutInOrderAndReplaceALongerFile) {
  TempDir dir;
  const std::string path = dir / "Spell_Max.txt";
  // A previous, longer file: nothing of it may survive.
  dxtest::write_file(path, std::string(5'000'000, 'x'));
  constexpr std::size_t kStations = 30000;  // several buffer flushes
  Table t(kStations, kVarnSize);
  for (std::size_t i = 0; i < kStations; ++i) {
    t.reg(i) = static_cast<float>(i % 64);
    t.lon(i) = 100.0f + static_cast<float>(i) * 0.001f;
    t.lat(i) = 8.0f;
    for (std::size_t j = 0; j < kVarnSize; ++j) t.values(i, j) = static_cast<float>(i) + static_cast<float>(j) * 0.25f;
  }
  t.write(path, VARN);
  const std::vector<std::string> lines = dxtest::lines_of(read_file(path));
  ASSERT_EQ(lines.size(), kStations + 2);
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, kStations / 2, kStations - 1}) {
    const std::string& line = lines[i + 2];
    ASSERT_EQ(line.size(), 20u + 12u * kVarnSize);
    EXPECT_EQ(std::stoi(line.substr(0, 4)), static_cast<int>(i % 64));
    EXPECT_EQ(std::stod(line.substr(20 + 12 * 17, 12)), static_cast<double>(i) + 17 * 0.25);
  }
}

TEST(TextTable, HeaderStopsAfterAHundredNames) {
  TempDir dir;
  std::vector<std::string> storage;
  for (int j = 0; j < 101; ++j) storage.push_back(std::string(1, 'c').append(std::to_string(j)));
  const std::vector<std::string_view> names(storage.begin(), storage.end());
  Table t(1, 101);
  t.values(0, 100) = 7.0f;
  t.write(dir / "wide.txt", names);
  const std::vector<std::string> lines = dxtest::lines_of(read_file(dir / "wide.txt"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].size(), 20u + 12u * 100u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 12), std::string(9, ' ') + "c99");
  EXPECT_EQ(lines[2].size(), 20u + 12u * 101u);
  EXPECT_EQ(lines[2].substr(lines[2].size() - 12), "       7.000");
}

TEST(TextTable, InconsistentArgumentsAreRefusedWithoutTouchingTheFile) {
  struct Case {
    const char* what;
    std::size_t rows, cols, coords;  // array extents
    std::int32_t nstn, ncol;         // counts claimed
    std::size_t nnames;
  };
  const Case cases[] = {
      {"fewer value rows than stations", 2, 6, 3, 3, 6, 6},
      {"fewer value columns than claimed", 3, 5, 3, 3, 6, 6},
      {"fewer coordinates than stations", 3, 6, 2, 3, 6, 6},
      {"fewer names than columns", 3, 6, 3, 3, 6, 5},
      {"more columns than the format can count", 3, 1000, 3, 3, 1000, 1000},
      {"negative column count", 3, 6, 3, 3, -1, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir / "Prob_Sensl.txt";
    dxtest::write_file(path, "old\n");
    Array2 values({c.rows, c.cols});
    Array1 lon({c.coords}), lat({c.coords}), reg({c.coords});
    const std::vector<std::string_view> names(c.nnames, "pdsi");
    const std::string msg = dxtest::error_of([&] {
      DirectSink sink;
      write_to_text(sink, values, c.nstn, c.ncol, lon, lat, reg, names, pad_to("t", 100), path);
    });
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{"Prob_Sensl.txt"});
    EXPECT_EQ(read_file(path), "old\n");
  }
}

}  // namespace
}  // namespace dx
