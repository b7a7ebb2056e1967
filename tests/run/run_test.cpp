// End-to-end tests of the whole run: the real binary on generated inputs,
// with the station file provided at its fixed path in a private mount
// namespace (or the guarded fallback of scripts/at_fixed_path.sh).
#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "input/result_files.hpp"
#include "run/sample_files.hpp"
#include "support/fs.hpp"
#include "support/nc_fixture.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace {

using dxtest::Outcome;
using dxtest::run_tool;
using dxtest::TempDir;
namespace sample = dxtest::sample;

std::string i12(long v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%12ld", v);
  return buf;
}

std::string pad15(const std::string& s) { return (s + std::string(15, ' ')).substr(0, 15); }

// The progress lines of one read.
std::string read_lines(const std::string& file, const std::string& d1, long n1, const std::string& d2 = "",
                       long n2 = -1) {
  std::string s = "    Reading netCDF file: " + file + "...\n";
  s += "       - Longitude's name = " + pad15(d1) + "; length = " + i12(n1) + "\n";
  if (n2 >= 0) s += "       - Latitude's name  = " + pad15(d2) + "; length = " + i12(n2) + "\n";
  s += "    Completed reading file " + file + "\n";
  return s;
}

std::string expected_stdout(long nstn) {
  std::string s = read_lines("Num_Drou_Mon_Stn.nc", "stn", nstn, "cls", 18);
  for (int i = 0; i < 2; ++i) s += read_lines("Sen_Prob_idx_Stn.nc", "stn", nstn, "idx", 6);
  for (int i = 0; i < 4; ++i) s += read_lines("Spell_Time_Arr_Stn.nc", "stn", nstn, "cls", 18);
  for (int i = 0; i < 2; ++i) s += read_lines("Fre_Mag_Stn_all_period.nc", "stn", nstn, "cls", 18);
  for (int i = 0; i < 36; ++i) s += read_lines("Fre_Mag_Stn.nc", "stn", nstn, "period", 12);
  for (int i = 0; i < 12; ++i) s += read_lines("Tq_pdsi_spi_Stn.nc", "stn", nstn);
  for (int i = 0; i < 12; ++i) s += read_lines("Prob_Tq_pdsi_spi_Stn.nc", "stn", nstn);
  for (int i = 0; i < 3; ++i) s += read_lines("/home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc", "stn", nstn);
  s += " Write to Grads Num_Dr_Mon Done\n";
  return s;
}

// The value field of station j (0-based) in time step k of a data file.
float report_value(const std::string& dat, long nstn, long k, long j) {
  const std::size_t off = static_cast<std::size_t>(k * (32 * nstn + 28) + 32 * j + 28);
  EXPECT_GE(dat.size(), off + 4);
  float v = 0;
  if (dat.size() >= off + 4) std::memcpy(&v, dat.data() + off, 4);
  return v;
}

// Field `col` (0-based value column) of station line `j` of a text table.
std::string table_field(const std::string& txt, long j, int col) {
  std::size_t pos = 0;
  for (long line = 0; line < j + 2; ++line) pos = txt.find('\n', pos) + 1;
  return txt.substr(pos + 20 + 12 * static_cast<std::size_t>(col), 12);
}

std::string f12_3(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%12.3f", static_cast<double>(v));
  return buf;
}

constexpr long kStations = 23;

TEST(WholeRun, WritesEveryOutputWithTheRightValuesAndProgressLines) {
  TempDir tmp;
  sample::generate(tmp.path(), kStations, 11);
  const Outcome r = run_tool(tmp.path());
  DX_SKIP_IF_NO_FIXED_PATH(r);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected_stdout(kStations));
  EXPECT_EQ(dxtest::outputs_in(tmp.path()), dxtest::output_names());

  // Sen's slope of station 5, index 3: text table and data set.
  const auto sensl = dxtest::read_var(tmp / "Sen_Prob_idx_Stn.nc", "SenSL");
  ASSERT_TRUE(sensl.ok);
  const float v = sensl.values[2 * kStations + 4];
  const std::string txt = dxtest::read_file(tmp / "Sensl.txt");
  EXPECT_EQ(table_field(txt, 4, 2), f12_3(v));
  EXPECT_EQ(report_value(dxtest::read_file(tmp / "Sensl.dat"), kStations, 2, 4), v);

  // Correlation of pair 10, station 7, in Corre.dat time step 10.
  const auto tq = dxtest::read_var(tmp / "Tq_pdsi_spi_Stn.nc", std::string(dx::kPairName[9]));
  ASSERT_TRUE(tq.ok);
  EXPECT_EQ(report_value(dxtest::read_file(tmp / "Corre.dat"), kStations, 9, 6), tq.values[6]);
  EXPECT_EQ(table_field(dxtest::read_file(tmp / "Corre_IDX.txt"), 6, 9), f12_3(tq.values[6]));

  // Per-period slice (a transposition): in Mag_03, time step k of station 2
  // holds class k of station 2 in period 3.
  const std::string mag03 = dxtest::read_file(tmp / "Mag_03.dat");
  EXPECT_EQ(mag03.size(), static_cast<std::size_t>(18 * (32 * kStations + 28)));
  for (int k : {0, 3, 10, 17}) {
    const auto var = dxtest::read_var(tmp / "Fre_Mag_Stn.nc", dx::period_var("Mag_", k));
    ASSERT_TRUE(var.ok);
    EXPECT_EQ(report_value(mag03, kStations, k, 1), var.values[2 * kStations + 1]) << "class " << k;
  }
  const std::string ctl = dxtest::read_file(tmp / "Fre_12.ctl");
  EXPECT_NE(ctl.find("dset  ^Fre_12.dat\n"), std::string::npos);
  EXPECT_NE(ctl.find("tdef   18 linear jan1980 1mo\nvars   1\nFre 0 99 Factor\n"), std::string::npos);
}

TEST(WholeRun, AMissingResultFileFailsBeforeAnyOutputIsWritten) {
  TempDir tmp;
  sample::generate(tmp.path(), kStations, 3);
  ASSERT_EQ(std::remove((tmp / "Tq_pdsi_spi_Stn.nc").c_str()), 0);
  const Outcome r = run_tool(tmp.path());
  DX_SKIP_IF_NO_FIXED_PATH(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("drought-export: error: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("Tq_pdsi_spi_Stn.nc"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("pdsi_spi01"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(dxtest::outputs_in(tmp.path()).empty());
  // The progress lines printed before the failure stay.
  EXPECT_EQ(r.out.rfind("    Reading netCDF file: Num_Drou_Mon_Stn.nc...\n", 0), 0u);
}

TEST(WholeRun, AnUnwritableStandardOutputIsAnError) {
  TempDir tmp;
  sample::generate(tmp.path(), 4, 5);
  dxtest::Launch l = dxtest::tool_launch(tmp.path());
  l.stdout_path = "/dev/full";
  const Outcome r = dxtest::run(l);
  DX_SKIP_IF_NO_FIXED_PATH(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("drought-export: error: cannot write to standard output"), std::string::npos) << r.err;
}

TEST(WholeRun, ASecondRunReplacesTheOutputsAndLeavesNoTemporaryFile) {
  TempDir tmp;
  sample::generate(tmp.path(), 5, 1);
  Outcome r = run_tool(tmp.path());
  DX_SKIP_IF_NO_FIXED_PATH(r);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string first = dxtest::read_file(tmp / "Fre_all.txt");
  sample::generate(tmp.path(), 7, 2);
  r = run_tool(tmp.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string second = dxtest::read_file(tmp / "Fre_all.txt");
  EXPECT_NE(first, second);
  EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 2 + 7);
  EXPECT_EQ(dxtest::outputs_in(tmp.path()), dxtest::output_names());
}

}  // namespace
