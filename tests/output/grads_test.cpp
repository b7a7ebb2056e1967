#include "output/grads.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/error.hpp"
#include "base/labels.hpp"
#include "base/store.hpp"
#include "base/text.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace dx {
namespace {

using dxtest::read_file;
using dxtest::TempDir;

// Fields decoded from the bytes, little-endian whatever the host.
std::uint32_t u32_at(const std::string& b, std::size_t off) {
  EXPECT_LE(off + 4, b.size());
  if (off + 4 > b.size()) return 0;
  const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(b[off + k])); };
  return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}
std::int32_t i32_at(const std::string& b, std::size_t off) { return static_cast<std::int32_t>(u32_at(b, off)); }
float f32_at(const std::string& b, std::size_t off) { return std::bit_cast<float>(u32_at(b, off)); }

struct Report {
  std::string id;
  float lat, lon, time;
  std::int32_t levels, flag;
  std::uint32_t value_bits;  // reports only
};
Report report_at(const std::string& b, std::size_t off, bool with_value) {
  return {b.substr(off, 8),
          f32_at(b, off + 8),
          f32_at(b, off + 12),
          f32_at(b, off + 16),
          i32_at(b, off + 20),
          i32_at(b, off + 24),
          with_value ? u32_at(b, off + 28) : 0u};
}

// A store with `nstn` stations named as the loader names them, and a data
// set of `ncol` columns whose values tell station and column apart.
struct DataSet {
  std::vector<std::string> stations;
  StationId last_id{};
  Array1 lon, lat;
  Array2 data;

  DataSet(std::size_t nstn, std::size_t ncol) : lon({nstn}), lat({nstn}), data({nstn, ncol}) {
    for (std::size_t j = 0; j < nstn; ++j) {
      char name[32];
      std::snprintf(name, sizeof name, "Station_%03zu", j + 1);
      stations.push_back(pad_to(name, kStationLen));
      lon(j) = 100.0f + static_cast<float>(j) * 0.5f;
      lat(j) = -10.0f + static_cast<float>(j) * 0.25f;
      for (std::size_t k = 0; k < ncol; ++k) data(j, k) = static_cast<float>(j) * 1000.0f + static_cast<float>(k);
    }
  }
  void write(const std::string& dir, std::string_view base, std::string_view var = "Sensl", std::int32_t ncol = -1,
             const FileOps& ops = system_file_ops()) {
    DirectSink sink(ops);
    write_grads_stn(sink, stations, last_id, data, lon, lat, static_cast<std::int32_t>(lon.size()),
                    ncol < 0 ? static_cast<std::int32_t>(data.extent(1)) : ncol, base, dir, var);
  }
};

std::string dir_prefix(const TempDir& d) { return d.path() + "/"; }

TEST(GradsData, TwoStationsOneStepIsTwoReportsAndATerminator) {
  TempDir dir;
  DataSet ds(2, 1);
  ds.data(0, 0) = 0.75f;
  ds.data(1, 0) = -3.5f;
  ds.write(dir_prefix(dir), "Sensl");
  const std::string b = read_file(dir / "Sensl.dat");
  ASSERT_EQ(b.size(), 92u);
  for (std::size_t j = 0; j < 2; ++j) {
    SCOPED_TRACE(j);
    const Report r = report_at(b, 32 * j, true);
    EXPECT_EQ(r.id, "Station_");  // the number is not part of the id
    EXPECT_EQ(r.lat, ds.lat(j));  // latitude before longitude
    EXPECT_EQ(r.lon, ds.lon(j));
    EXPECT_EQ(r.time, 0.0f);
    EXPECT_EQ(r.levels, 1);
    EXPECT_EQ(r.flag, 1);
    EXPECT_EQ(r.value_bits, std::bit_cast<std::uint32_t>(ds.data(j, 0)));
  }
  const Report term = report_at(b, 64, false);
  EXPECT_EQ(term.id, "Station_");
  EXPECT_EQ(term.lat, ds.lat(1));
  EXPECT_EQ(term.lon, ds.lon(1));
  EXPECT_EQ(term.time, 0.0f);
  EXPECT_EQ(term.levels, 0);
  EXPECT_EQ(term.flag, 1);
  EXPECT_EQ(std::string(ds.last_id.data(), 8), "Station_");
}

TEST(GradsData, EveryColumnIsOneTimeGroupInOrder) {
  // A few stations and a group of more than a megabyte: the same layout.
  for (std::size_t nstn : {std::size_t{3}, std::size_t{40000}}) {
    SCOPED_TRACE(nstn);
    TempDir dir;
    constexpr std::size_t kCols = 4;
    DataSet ds(nstn, kCols);
    ds.write(dir_prefix(dir), "Spell_Ave", "Spell_Ave");
    const std::string b = read_file(dir / "Spell_Ave.dat");
    const std::size_t group = 32 * nstn + 28;
    ASSERT_EQ(b.size(), kCols * group);
    for (std::size_t k = 0; k < kCols; ++k) {
      for (std::size_t j = 0; j < nstn; ++j) {
        const Report r = report_at(b, k * group + 32 * j, true);
        ASSERT_EQ(std::bit_cast<float>(r.value_bits), ds.data(j, k)) << "station " << j << " column " << k;
        ASSERT_EQ(r.lat, ds.lat(j));
        ASSERT_EQ(r.lon, ds.lon(j));
        ASSERT_EQ(r.levels, 1);
      }
      const Report term = report_at(b, k * group + 32 * nstn, false);
      EXPECT_EQ(term.levels, 0);
      EXPECT_EQ(term.lat, ds.lat(nstn - 1));
    }
  }
}

TEST(GradsData, ValuesAreWrittenAsStored) {
  TempDir dir;
  const float unusual[] = {kMissingValue,
                           std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           -0.0f,
                           std::numeric_limits<float>::denorm_min()};
  DataSet ds(std::size(unusual), 1);
  for (std::size_t j = 0; j < std::size(unusual); ++j) ds.data(j, 0) = unusual[j];
  ds.write(dir_prefix(dir), "Prob");
  const std::string b = read_file(dir / "Prob.dat");
  for (std::size_t j = 0; j < std::size(unusual); ++j)
    EXPECT_EQ(u32_at(b, 32 * j + 28), std::bit_cast<std::uint32_t>(unusual[j])) << j;
}

TEST(GradsData, ShortStationNameIsBlankPadded) {
  TempDir dir;
  DataSet ds(1, 1);
  ds.stations[0] = "S1";
  ds.write(dir_prefix(dir), "Corre");
  const std::string b = read_file(dir / "Corre.dat");
  EXPECT_EQ(b.substr(0, 8), "S1      ");
  EXPECT_EQ(b.substr(32, 8), "S1      ");
}

TEST(GradsData, NoStationsGiveTerminatorsRepeatingTheLastIdOfTheRun) {
  TempDir dir;
  DataSet empty(0, 3);
  // Nothing written yet in this run: the id is eight zero bytes.
  empty.write(dir_prefix(dir), "Fre_01");
  std::string b = read_file(dir / "Fre_01.dat");
  ASSERT_EQ(b.size(), 3u * 28u);
  for (std::size_t k = 0; k < 3; ++k) {
    const Report t = report_at(b, 28 * k, false);
    EXPECT_EQ(t.id, std::string(8, '\0'));
    EXPECT_EQ(t.lat, 0.0f);
    EXPECT_EQ(t.lon, 0.0f);
    EXPECT_EQ(t.time, 0.0f);
    EXPECT_EQ(t.levels, 0);
    EXPECT_EQ(t.flag, 1);
  }
  // After a data set with stations, the id carries over; a call that writes
  // no report (no columns) leaves it as it is.
  DataSet one(1, 1);
  one.stations[0] = "Hanoi_stn_01";
  one.write(dir_prefix(dir), "Sensl");
  one.stations[0] = "Other___";
  one.write(dir_prefix(dir), "Prob", "Prob", 0);
  empty.last_id = one.last_id;
  empty.write(dir_prefix(dir), "Mag_01");
  b = read_file(dir / "Mag_01.dat");
  ASSERT_EQ(b.size(), 3u * 28u);
  EXPECT_EQ(b.substr(0, 8), "Hanoi_st");
  EXPECT_EQ(f32_at(b, 8), 0.0f);
}

TEST(GradsData, NoColumnsGiveAnEmptyFile) {
  TempDir dir;
  DataSet ds(5, 0);
  dxtest::write_file(dir / "Prob1.dat", "an older, longer data file");
  ds.write(dir_prefix(dir), "Prob1");
  EXPECT_EQ(read_file(dir / "Prob1.dat"), "");
  EXPECT_NE(read_file(dir / "Prob1.ctl").find("tdef    0 linear jan1980 1mo\n"), std::string::npos);
}

// The station map is the one GrADS' own stnmap builds from the data file,
// byte for byte; a data set without a time step (which GrADS cannot open)
// or beyond what a map can address is refused.
TEST(GradsStationMap, TheBytesOfStnmapOrAnError) {
  const std::string stnmap = dxtest::find_on_path("stnmap");
  const struct {
    std::size_t nstn, ncol;
    const char* error;  // "": stnmap's map
  } cases[] = {
      {3, 6, ""},
      {0, 3, ""},
      {1, 1, ""},
      {300, 18, ""},
      {5, 0, "the data set has no time step"},
      {4'000'000, 18, "the data set is larger than the 2 GiB a GrADS station map can address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.nstn) + " stations, " + std::to_string(c.ncol) + " steps");
    if (*c.error != '\0') {
      const std::string msg = dxtest::error_of([&] { grads_station_map(c.nstn, c.ncol, "out/Fre_01.dat.map"); });
      EXPECT_EQ(msg, std::string("cannot build the station map out/Fre_01.dat.map: ") + c.error);
      continue;
    }
    if (stnmap.empty()) GTEST_SKIP() << "GrADS is not installed (Debian package grads): no stnmap to compare with";
    TempDir dir;
    DataSet ds(c.nstn, c.ncol);
    ds.write(dir_prefix(dir), "Fre_01");
    EXPECT_EQ(read_file(dir / "Fre_01.dat").size(), grads_data_size(c.nstn, c.ncol));
    const dxtest::Outcome r = dxtest::run({.argv = {stnmap, "-q", "-i", "Fre_01.ctl"}, .cwd = dir.path()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(grads_station_map(c.nstn, c.ncol, "Fre_01.dat.map"), read_file(dir / "Fre_01.dat.map"));
  }
}

// A data set of some stations per step, in the order given (the maps draw
// in file order): reports, terminators, and the map stnmap builds of it.
TEST(GradsStationMap, ASubsetOfStationsPerStepInTheOrderGiven) {
  DataSet ds(3, 1);
  const std::vector<std::vector<StationReport>> steps = {{{2, 0.5f}, {0, 0.25f}}, {}, {{1, 1.0f}}};
  const StationSubset set = grads_station_subset("Prob_by_p", ds.stations, ds.lon, ds.lat, steps, "Prob_by_p.dat.map");
  ASSERT_EQ(set.data.size(), 2 * 32 + 28 + 28 + 32 + 28u);
  EXPECT_EQ(report_at(set.data, 0, true).id, "Station_");
  EXPECT_EQ(report_at(set.data, 0, true).lon, ds.lon(2));
  EXPECT_EQ(f32_at(set.data, 28), 0.5f);
  EXPECT_EQ(report_at(set.data, 32, true).lat, ds.lat(0));
  EXPECT_EQ(report_at(set.data, 64, false).levels, 0);  // the first step's terminator
  EXPECT_EQ(report_at(set.data, 92, false).levels, 0);  // the empty step: a terminator alone
  EXPECT_EQ(f32_at(set.data, 120 + 28), 1.0f);
  EXPECT_NE(set.descriptor.find("stnmap ^Prob_by_p.dat.map\n"), std::string::npos) << set.descriptor;
  EXPECT_NE(set.descriptor.find("tdef    3 linear"), std::string::npos) << set.descriptor;
  const std::string stnmap = dxtest::find_on_path("stnmap");
  if (stnmap.empty()) GTEST_SKIP() << "GrADS is not installed (Debian package grads): no stnmap to compare with";
  TempDir dir;
  dxtest::write_file(dir / "Prob_by_p.dat", set.data);
  dxtest::write_file(dir / "Prob_by_p.ctl", set.descriptor);
  const dxtest::Outcome r = dxtest::run({.argv = {stnmap, "-q", "-i", "Prob_by_p.ctl"}, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(set.map, read_file(dir / "Prob_by_p.dat.map"));
}

TEST(GradsDescriptor, NineLines) {
  TempDir dir;
  DataSet ds(2, 6);
  ds.write(dir_prefix(dir), "Sensl", "Sensl");
  EXPECT_EQ(read_file(dir / "Sensl.ctl"),
            "dset  ^Sensl.dat\n"
            "dtype station\n"
            "stnmap ^Sensl.dat.map\n"
            "undef    -9999.0\n"
            "title   Factor Analysis\n"
            "tdef    6 linear jan1980 1mo\n"
            "vars   1\n"
            "Sensl 0 99 Factor\n"
            "endvars\n");
  EXPECT_EQ(dxtest::list_dir(dir.path()), (std::vector<std::string>{"Sensl.ctl", "Sensl.dat"}));
}

TEST(GradsDescriptor, TimeCountInThreeColumns) {
  const struct {
    std::int32_t ncol;
    const char* line;
  } cases[] = {
      {18, "tdef   18 linear jan1980 1mo"},
      {999, "tdef  999 linear jan1980 1mo"},
      {1000, "tdef  *** linear jan1980 1mo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ncol);
    TempDir dir;
    DataSet ds(0, static_cast<std::size_t>(c.ncol));
    ds.write(dir_prefix(dir), "Spell_Max", "Spell_Max");
    EXPECT_EQ(read_file(dir / "Spell_Max.dat").size(), 28u * static_cast<std::size_t>(c.ncol));
    const std::string ctl = read_file(dir / "Spell_Max.ctl");
    EXPECT_NE(ctl.find("\n" + std::string(c.line) + "\n"), std::string::npos) << ctl;
  }
}

TEST(GradsDescriptor, PaddedBaseNameInTheWorkingFolder) {
  TempDir dir;
  DataSet ds(2, 18);
  {
    const dxtest::InFolder here(dir.path());
    ds.write("./", pad_to("Fre_01", kFnameLen), "Fre   ");
    EXPECT_TRUE(dxtest::file_exists("./Fre_01.dat"));
  }
  EXPECT_EQ(dxtest::list_dir(dir.path()), (std::vector<std::string>{"Fre_01.ctl", "Fre_01.dat"}));
  const std::string ctl = read_file(dir / "Fre_01.ctl");
  EXPECT_EQ(ctl.substr(0, ctl.find("undef")), "dset  ^Fre_01.dat\ndtype station\nstnmap ^Fre_01.dat.map\n");
  EXPECT_NE(ctl.find("\nFre 0 99 Factor\n"), std::string::npos);
}

TEST(GradsData, InconsistentArgumentsAreRefused) {
  struct Case {
    const char* what;
    std::size_t rows, cols, names, coords;
  };
  const Case cases[] = {
      {"fewer value rows than stations", 2, 4, 3, 3},
      {"fewer value columns than steps", 3, 3, 3, 3},
      {"fewer station names than stations", 3, 4, 2, 3},
      {"fewer coordinates than stations", 3, 4, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::vector<std::string> stations(c.names, pad_to("Station_001", kStationLen));
    Array2 data({c.rows, c.cols});
    Array1 lon({c.coords}), lat({c.coords});
    const std::string msg = dxtest::error_of([&] {
      DirectSink sink;
      StationId last_id{};
      write_grads_stn(sink, stations, last_id, data, lon, lat, 3, 4, "Sensl", dir_prefix(dir), "Sensl");
    });
    EXPECT_NE(msg.find(dir / "Sensl.dat"), std::string::npos) << msg;
    EXPECT_TRUE(dxtest::list_dir(dir.path()).empty());
  }
}

// --- Output failures ---------------------------------------------------------

// The data file is complete before the descriptor is begun: a failure of
// the descriptor keeps the new data file, one of the data file keeps both
// old files.
TEST(GradsData, InjectedFailuresNameTheFileAndKeepThePreviousOnes) {
  struct Case {
    dxtest::Fault fault;
    std::size_t budget;
    int skip_files;       // 0: the data file fails, 1: the descriptor
    const char* failing;  // which file the error names
    std::string reason;
  };
  const Case cases[] = {
      {dxtest::Fault::WriteNoSpace, 2'500'000, 0, "Mag_all.dat", std::strerror(ENOSPC)},  // part-way
      {dxtest::Fault::RenameFails, 0, 0, "Mag_all.dat", std::strerror(EXDEV)},
      {dxtest::Fault::WriteNoSpace, 0, 1, "Mag_all.ctl", std::strerror(ENOSPC)},
      {dxtest::Fault::RenameFails, 0, 1, "Mag_all.ctl", std::strerror(EXDEV)},
  };
  DataSet ds(20000, 18);  // 11.5 MB of reports
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(dxtest::fault_name(c.fault)) + " on " + c.failing);
    TempDir dir;
    dxtest::write_file(dir / "Mag_all.dat", "old data");
    dxtest::write_file(dir / "Mag_all.ctl", "old descriptor");
    const std::string msg = dxtest::error_of([&] {
      const dxtest::InjectedFault fault(c.fault, c.budget, c.skip_files);
      ds.write(dir_prefix(dir), "Mag_all", "Mag_all", -1, fault);
    });
    EXPECT_NE(msg.find(dir / c.failing + ": " + c.reason), std::string::npos) << msg;
    EXPECT_EQ(read_file(dir / "Mag_all.ctl"), "old descriptor");
    if (c.skip_files == 0) EXPECT_EQ(read_file(dir / "Mag_all.dat"), "old data");
    else EXPECT_EQ(read_file(dir / "Mag_all.dat").size(), 18u * (32u * 20000u + 28u));
    EXPECT_EQ(dxtest::list_dir(dir.path()), (std::vector<std::string>{"Mag_all.ctl", "Mag_all.dat"}));
  }
}

}  // namespace
}  // namespace dx
