// The sample-data generator: the files, variables, shapes and value ranges
// that drought-export's loader reads, determinism for a seed, and the marker
// by which the demo recognises a station file it wrote itself.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "run/sample_files.hpp"
#include "support/temp_dir.hpp"

namespace dxtest {
namespace {

using sample::read_var;

struct Expect {
  std::string file;
  std::string var;
  std::string col_dim;  // empty for 1-D variables
  std::size_t cols;
  float lo, hi;
};

std::vector<Expect> expectations() {
  std::vector<Expect> e = {
      {"Num_Drou_Mon_Stn.nc", "N_Drou_mon", "cls", 18, 0, 120},
      {"Sen_Prob_idx_Stn.nc", "SenSL", "idx", 6, -0.05f, 0.05f},
      {"Sen_Prob_idx_Stn.nc", "Prob", "idx", 6, 0, 1},
      {"Spell_Time_Arr_Stn.nc", "Spell_Ave", "cls", 18, 1, 20},
      {"Spell_Time_Arr_Stn.nc", "Spell_Max", "cls", 18, 1, 20},
      {"Spell_Time_Arr_Stn.nc", "Time_Arr_Ave", "cls", 18, 1, 60},
      {"Spell_Time_Arr_Stn.nc", "Time_Arr_Max", "cls", 18, 1, 60},
      {"Fre_Mag_Stn_all_period.nc", "Freq", "cls", 18, 0, 40},
      {"Fre_Mag_Stn_all_period.nc", "Mag", "cls", 18, 0, 3},
      {"SPI_Stn.nc", "lon", "", 1, 102, 110},
      {"SPI_Stn.nc", "lat", "", 1, 8, 24},
      {"SPI_Stn.nc", "reg", "", 1, 1, 8},
  };
  for (int k = 0; k < 18; ++k) {
    e.push_back({"Fre_Mag_Stn.nc", sample::period_var("Fre_", k), "period", 12, 0, 40});
    e.push_back({"Fre_Mag_Stn.nc", sample::period_var("Mag_", k), "period", 12, 0, 3});
  }
  for (const char* pair : sample::kPairNames) {
    e.push_back({"Tq_pdsi_spi_Stn.nc", pair, "", 1, -1, 1});
    e.push_back({"Prob_Tq_pdsi_spi_Stn.nc", pair, "", 1, 0, 1});
  }
  return e;
}

TEST(SampleGenerator, WritesEveryVariableWithStationFastestAndRealisticValues) {
  TempDir dir;
  constexpr std::size_t kStations = 57;
  sample::generate(dir.path(), kStations, 3);
  for (const auto& e : expectations()) {
    SCOPED_TRACE(e.file + " " + e.var);
    const auto v = read_var(dir / e.file, e.var);
    if (!v.ok) continue;
    // The station dimension is declared last, so it varies fastest.
    const std::size_t rank = e.col_dim.empty() ? 1 : 2;
    ASSERT_EQ(v.dims.size(), rank);
    EXPECT_EQ(v.dims.back(), "stn");
    EXPECT_EQ(v.lens.back(), kStations);
    if (rank == 2) {
      EXPECT_EQ(v.dims.front(), e.col_dim);
      EXPECT_EQ(v.lens.front(), e.cols);
    }
    for (float x : v.values) {
      ASSERT_TRUE(std::isfinite(x));
      ASSERT_GE(x, e.lo);
      ASSERT_LE(x, e.hi);
    }
    // Every dimension has its coordinate variable, numbered from 1.
    for (std::size_t d = 0; d < rank; ++d) {
      const auto coord = read_var(dir / e.file, v.dims[d]);
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
  for (const Case& c : {Case{"SPI_Stn.nc", 0, ""}, Case{"Fre_Mag_Stn.nc", 1, "not written by dx-sample"},
                        Case{"text.nc", 1, "not a readable netCDF file"},
                        Case{"missing.nc", 1, "not a readable netCDF file"}}) {
    const auto r = run_command({DX_SAMPLE_BINARY, "--is-sample", dir / c.file}, dir.path());
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
    const auto r = run_command(argv, dir.path());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(file_exists(dir / "o")) << "a rejected call must not write anything";
}

}  // namespace
}  // namespace dxtest
