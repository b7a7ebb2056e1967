// The sample-data generator: the files, variables, shapes and value ranges
// that drought-export's loader reads, determinism for a seed, and the marker
// by which the demo recognises a station file it wrote itself.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "input/result_files.hpp"
#include "run/sample_files.hpp"
#include "support/fs.hpp"
#include "support/nc_fixture.hpp"
#include "support/process.hpp"

namespace dxtest {
namespace {

// The range of the values the generator writes into a variable.
std::pair<float, float> range_of(const dx::InputVar& r) {
  const std::string_view file = dx::kInputFileNames[static_cast<std::size_t>(r.file)];
  if (file == dx::kTqFile) return {-1, 1};
  if (file == dx::kProbTqFile) return {0, 1};
  if (file == dx::kPeriodFile) return r.var.starts_with("Fre_") ? std::pair{0.0f, 40.0f} : std::pair{0.0f, 3.0f};
  static const std::map<std::string, std::pair<float, float>> ranges = {
      {"N_Drou_mon", {0, 120}}, {"SenSL", {-0.05f, 0.05f}}, {"Prob", {0, 1}},          {"Spell_Ave", {1, 20}},
      {"Spell_Max", {1, 20}},   {"Time_Arr_Ave", {1, 60}},  {"Time_Arr_Max", {1, 60}}, {"Freq", {0, 40}},
      {"Mag", {0, 3}},          {"lon", {102, 110}},        {"lat", {8, 24}},          {"reg", {1, 8}}};
  return ranges.at(r.var);
}

TEST(SampleGenerator, WritesEveryVariableWithStationFastestAndRealisticValues) {
  TempDir dir;
  constexpr std::size_t kStations = 57;
  sample::generate(dir.path(), kStations, 3);
  for (const dx::InputVar& e : dx::input_reads()) {
    const std::string file(dx::kInputFileNames[static_cast<std::size_t>(e.file)]);
    SCOPED_TRACE(file + " " + e.var);
    const auto v = read_var(dir / file, e.var);
    if (!v.ok) continue;
    // The station dimension is declared last, so it varies fastest.
    const auto rank = static_cast<std::size_t>(e.rank);
    ASSERT_EQ(v.dims.size(), rank);
    EXPECT_EQ(v.dims.back(), "stn");
    EXPECT_EQ(v.lens.back(), kStations);
    if (rank == 2) {
      EXPECT_EQ(v.dims.front(), sample::kColumnDim[e.file]);
      EXPECT_EQ(v.lens.front(), static_cast<std::size_t>(e.min_columns));
    }
    const auto [lo, hi] = range_of(e);
    for (float x : v.values) {
      ASSERT_TRUE(std::isfinite(x));
      ASSERT_GE(x, lo);
      ASSERT_LE(x, hi);
    }
    // Every dimension has its coordinate variable, numbered from 1.
    for (std::size_t d = 0; d < rank; ++d) {
      const auto coord = read_var(dir / file, v.dims[d]);
      ASSERT_TRUE(coord.ok);
      ASSERT_EQ(coord.values.size(), v.lens[d]);
      for (std::size_t i = 0; i < coord.values.size(); ++i) EXPECT_EQ(coord.values[i], float(i + 1));
    }
  }
}

TEST(SampleGenerator, ValuesAreConsistentBetweenRelatedStatistics) {
  TempDir dir;
  sample::generate(dir.path(), 200, 11);
  const auto f = dir / "Spell_Time_Arr_Stn.nc";
  for (const auto& [ave, max] : {std::pair{"Spell_Ave", "Spell_Max"}, std::pair{"Time_Arr_Ave", "Time_Arr_Max"}}) {
    const auto a = read_var(f, ave), m = read_var(f, max);
    ASSERT_EQ(a.values.size(), m.values.size());
    for (std::size_t i = 0; i < a.values.size(); ++i) ASSERT_GE(m.values[i], a.values[i]) << max << " at " << i;
  }
  const auto reg = read_var(dir / "SPI_Stn.nc", "reg");
  std::vector<int> seen(9, 0);
  for (float r : reg.values) {
    ASSERT_EQ(r, std::floor(r));
    ++seen[static_cast<std::size_t>(r)];
  }
  for (int r = 1; r <= 8; ++r) EXPECT_GT(seen[static_cast<std::size_t>(r)], 0) << "no station in region " << r;
  // Counts of drought months are whole numbers.
  for (float x : read_var(dir / "Num_Drou_Mon_Stn.nc", "N_Drou_mon").values) ASSERT_EQ(x, std::floor(x));
}

TEST(SampleGenerator, IsDeterministicForASeedWhateverTheFormatOrStationCount) {
  TempDir a, b, c, d;
  sample::generate(a.path(), 40, 5);
  sample::generate(b.path(), 40, 5);
  sample::generate(c.path(), 90, 5, "netcdf4");
  sample::generate(d.path(), 40, 6, "64bit");
  for (const char* f : {"Fre_Mag_Stn.nc", "SPI_Stn.nc", "Tq_pdsi_spi_Stn.nc"})
    EXPECT_EQ(read_file(a / f), read_file(b / f)) << f << " differs between two runs with the same seed";

  struct Probe {
    const char* file;
    const char* var;
  };
  for (const Probe p : {Probe{"SPI_Stn.nc", "lon"}, Probe{"Sen_Prob_idx_Stn.nc", "SenSL"},
                        Probe{"Fre_Mag_Stn.nc", "Mag_spi12_ext"}, Probe{"Prob_Tq_pdsi_spi_Stn.nc", "spei12_spi12"}}) {
    SCOPED_TRACE(p.var);
    const auto va = read_var(a / p.file, p.var), vc = read_var(c / p.file, p.var), vd = read_var(d / p.file, p.var);
    ASSERT_TRUE(va.ok && vc.ok && vd.ok);
    const std::size_t cols = va.values.size() / 40;
    std::size_t differ = 0;
    for (std::size_t col = 0; col < cols; ++col)
      for (std::size_t s = 0; s < 40; ++s) {
        // Station s keeps its values when the network grows.
        ASSERT_EQ(va.values[col * 40 + s], vc.values[col * 90 + s]) << "station " << s << " column " << col;
        differ += va.values[col * 40 + s] != vd.values[col * 40 + s];
      }
    EXPECT_GT(differ, va.values.size() / 2) << "another seed should give other values";
  }
}

TEST(SampleGenerator, RecognisesOnlyItsOwnStationFileAsSample) {
  TempDir dir;
  sample::generate(dir.path(), 5, 1);
  write_file(dir / "text.nc", "not netCDF\n");
  struct Case {
    std::string file;
    int status;
    std::string message;
  };
  for (const Case& c :
       {Case{"SPI_Stn.nc", 0, ""}, Case{"Fre_Mag_Stn.nc", 1, "not written by dx-sample"},
        Case{"text.nc", 1, "not a readable netCDF file"}, Case{"missing.nc", 1, "not a readable netCDF file"}}) {
    const Outcome r = run({.argv = {DX_SAMPLE_BINARY, "--is-sample", dir / c.file}, .cwd = dir.path()});
    EXPECT_EQ(r.status, c.status) << c.file << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.file << ": " << r.err;
  }
}

TEST(SampleGenerator, RejectsBadArgumentsWithAMessage) {
  TempDir dir;
  write_file(dir / "plain", "x");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, 2, "--out DIR is required"},
      {{"--out", dir / "o", "--stations", "0"}, 2, "--stations wants a whole number"},
      {{"--out", dir / "o", "--stations", "12x"}, 2, "--stations wants a whole number"},
      {{"--out", dir / "o", "--seed", "-1"}, 2, "--seed wants a whole number"},
      {{"--out", dir / "o", "--format", "hdf"}, 2, "unknown format \"hdf\""},
      {{"--out"}, 2, "--out needs a value"},
      {{"--bogus"}, 2, "unknown argument \"--bogus\""},
      {{"--out", dir / "plain" + "/sub"}, 1, "cannot create the folder"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {DX_SAMPLE_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Outcome r = run({.argv = argv, .cwd = dir.path()});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(file_exists(dir / "o")) << "a rejected call must not write anything";
}

}  // namespace
}  // namespace dxtest
