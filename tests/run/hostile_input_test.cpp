// The real binary on hostile input sets (tests/support/hostile.hpp): each
// run must either succeed with outputs consistent with its inputs, or fail
// cleanly: status 1, one error line naming the file and the variable, and
// no output touched.  It must never crash, hang or draw a sanitizer report
// (in the sanitizer build the binary under test is the sanitized one).
//
// CI runs a fixed set of seeds; scripts/hostile_long.sh runs many more
// through DX_HOSTILE_FIRST and DX_HOSTILE_SEEDS.
#include <gtest/gtest.h>

#include <netcdf.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "input/result_files.hpp"
#include "support/fs.hpp"
#include "support/hostile.hpp"
#include "support/nc_fixture.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace {

using dxtest::Outcome;
using dxtest::TempDir;
namespace hostile = dxtest::hostile;

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// Runs drought-export in `dir`, `dir`/SPI_Stn.nc at the fixed path.
Outcome run_tool(const std::string& dir, std::uint64_t address_space = 0) {
  dxtest::Launch l = dxtest::tool_launch(dir);
  l.address_space = address_space;
  return dxtest::run(l);
}

// Outputs of an earlier run that a failing run must leave alone.
const std::map<std::string, std::string> kPrevious = {{"Sensl.txt", "previous table\n"},
                                                      {"Fre_01.dat", std::string("previous\0data", 13)},
                                                      {"Corre.ctl", "previous descriptor\n"}};

// Lines of standard error: warnings (values beyond the float range) and at
// most one error line, which comes last.
struct ErrLines {
  std::vector<std::string> warnings, errors, other;
};
ErrLines split_err(const std::string& err) {
  ErrLines e;
  std::size_t pos = 0;
  while (pos < err.size()) {
    std::size_t nl = err.find('\n', pos);
    if (nl == std::string::npos) nl = err.size();
    const std::string line = err.substr(pos, nl - pos);
    if (line.starts_with("drought-export: warning: ")) e.warnings.push_back(line);
    else if (line.starts_with("drought-export: error: ")) e.errors.push_back(line);
    else e.other.push_back(line);
    pos = nl + 1;
  }
  return e;
}

struct Tally {
  int cases = 0, succeeded = 0, failed = 0, zero_stations = 0, warned = 0;
  double run_seconds = 0, total_seconds = 0;
  std::map<std::string, int> why;
};

// One seed end to end.  Returns the run, unchecked where the fixed path
// cannot be provided (the caller skips).
Outcome run_seed(std::uint64_t seed, Tally& tally) {
  const double start = dxtest::now_seconds();
  struct Clock {
    Tally& t;
    double start;
    ~Clock() { t.total_seconds += dxtest::now_seconds() - start; }
  } clock{tally, start};
  const hostile::Case c = hostile::plan_case(seed);
  SCOPED_TRACE(c.describe());
  TempDir tmp;
  hostile::write_case(c, tmp.path(), tmp / "SPI_Stn.nc");
  for (const auto& [name, content] : kPrevious) dxtest::write_file(tmp / name, content);
  const auto before = dxtest::snapshot(tmp.path());

  const Outcome r = run_tool(tmp.path());
  if (dxtest::fixed_path_unavailable(r)) return r;
  ++tally.cases;
  tally.run_seconds += r.seconds;
  EXPECT_FALSE(r.timed_out) << "the run hangs";
  const ErrLines e = split_err(r.err);
  EXPECT_TRUE(e.other.empty()) << "standard error holds more than the tool's lines:\n" << r.err;
  if (!e.warnings.empty()) ++tally.warned;
  for (const std::string& w : e.warnings) {
    // A warning is about values beyond the float range, in a named variable.
    EXPECT_NE(w.find(": variable "), std::string::npos) << w;
    EXPECT_NE(w.find("range of a 32-bit float"), std::string::npos) << w;
  }

  if (r.status == 0) {
    ++tally.succeeded;
    if (c.stations == 0) ++tally.zero_stations;
    EXPECT_TRUE(c.expect_success) << "the run succeeded where it must fail";
    EXPECT_TRUE(e.errors.empty()) << r.err;
    EXPECT_TRUE(r.out.ends_with(" Write to Grads Num_Dr_Mon Done\n"));
    dxtest::check_outputs(tmp.path(), tmp / "SPI_Stn.nc", seed);
    return r;
  }

  ++tally.failed;
  tally.why[c.why.empty() ? "unexpected" : c.why]++;
  EXPECT_EQ(r.status, 1) << "not a clean failure (signal " << r.signal << ")\n" << r.err;
  EXPECT_FALSE(c.expect_success) << "the run failed where it must succeed:\n" << r.err;
  EXPECT_EQ(e.errors.size(), 1u) << r.err;
  if (!e.errors.empty() && !c.expect_success) {
    const std::string& line = e.errors.back();
    const std::string file(c.fail_file == dx::kStationInput ? dx::STATION_FILE
                                                            : dx::kInputFileNames[static_cast<std::size_t>(c.fail_file)]);
    EXPECT_NE(line.find(file), std::string::npos) << "the error does not name " << file << ": " << line;
    EXPECT_NE(line.find("variable " + c.fail_var), std::string::npos)
        << "the error does not name variable " << c.fail_var << ": " << line;
    EXPECT_TRUE(r.err.ends_with(line + "\n")) << "the error line is not the last line";
  }
  EXPECT_EQ(dxtest::snapshot(tmp.path()), before) << "a failing run changed the folder";
  return r;
}

// The seeds, in shards that ctest runs side by side.  CI runs seeds 1 to
// 100 in the release build and the first 48 of them in the (slower)
// sanitizer build.
constexpr int kShards = 4;
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kCiSeeds = 48;
#else
constexpr std::uint64_t kCiSeeds = 100;
#endif
class HostileSeeds : public ::testing::TestWithParam<int> {};

TEST_P(HostileSeeds, EachRunSucceedsConsistentlyOrFailsCleanly) {
  const std::uint64_t first = env_number("DX_HOSTILE_FIRST", 1);
  const std::uint64_t count = env_number("DX_HOSTILE_SEEDS", kCiSeeds);
  Tally t;
  for (std::uint64_t seed = first + static_cast<std::uint64_t>(GetParam()); seed < first + count; seed += kShards) {
    const Outcome r = run_seed(seed, t);
    DX_SKIP_IF_NO_FIXED_PATH(r);
    if (HasFailure()) {
      ADD_FAILURE() << "first failing seed: " << seed << " (stopping this shard)";
      break;
    }
  }
  std::string why;
  for (const auto& [k, n] : t.why) why += " " + k + ": " + std::to_string(n) + ";";
  std::printf("[ hostile  ] shard %d: %d cases, %d succeeded (%d with 0 stations, %d with warnings), %d failed cleanly:%s"
              " (%.1f s, of which %.1f s in the runs)\n",
              GetParam(), t.cases, t.succeeded, t.zero_stations, t.warned, t.failed, why.c_str(), t.total_seconds,
              t.run_seconds);
}

INSTANTIATE_TEST_SUITE_P(Shards, HostileSeeds, ::testing::Range(0, kShards));

// ---- Damage the library does not report ------------------------------

// A netCDF-3 result file cut short is read by the library as zeros; the
// run must refuse it before writing anything.
TEST(HostileInput, ATruncatedResultFileFailsBeforeAnyOutput) {
  struct Cut {
    dxtest::NcFormat format;
    const char* file;
    double keep;  // share of the file kept
  };
  const Cut cuts[] = {
      {dxtest::NcFormat::Classic, "Fre_Mag_Stn.nc", 0.5},          {dxtest::NcFormat::Offset64, "Fre_Mag_Stn.nc", 0.999},
      {dxtest::NcFormat::Classic, "Tq_pdsi_spi_Stn.nc", 0.9},      {dxtest::NcFormat::Offset64, "Num_Drou_Mon_Stn.nc", 0.1},
      {dxtest::NcFormat::Classic, "Prob_Tq_pdsi_spi_Stn.nc", 0.999},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(std::string(cut.file) + " " + dxtest::format_name(cut.format) + " keeping " + std::to_string(cut.keep));
    TempDir tmp;
    dxtest::ResultSetOptions opt;
    opt.format = cut.format;
    opt.stations = 40;
    auto files = dxtest::result_set(tmp.path(), tmp / "SPI_Stn.nc", opt);
    dxtest::write_all(files);
    const std::string path = tmp / cut.file;
    const auto size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path, std::min<std::uintmax_t>(size - 1, static_cast<std::uintmax_t>(cut.keep * size)));
    for (const auto& [name, content] : kPrevious) dxtest::write_file(tmp / name, content);
    const auto before = dxtest::snapshot(tmp.path());

    const Outcome r = run_tool(tmp.path());
    DX_SKIP_IF_NO_FIXED_PATH(r);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.err.starts_with(std::string("drought-export: error: ") + cut.file)) << r.err;
    EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("variable "), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(dxtest::snapshot(tmp.path()), before);
  }
}

// Declared dimensions that no machine can hold, and an allocation that
// fails, end the run with an error line, not an abort.
TEST(HostileInput, DimensionsBeyondMemoryFailCleanly) {
  struct Huge {
    const char* what;
    std::size_t stations, columns;
    std::uint64_t address_space;  // 0: no limit
    const char* reason;           // part of the message
  };
  // Less than the machine's memory but more than the run may take: the
  // allocation itself fails under an address-space limit.  The sanitizer
  // runtime needs a huge address space and turns a failed allocation into
  // its own fatal report, so that case runs in the release build only.
  const std::uint64_t limited = std::uint64_t{2} << 30;
  const Huge cases[] = {
      {"beyond the 32-bit lengths", std::size_t{1} << 32, 18, 0, "more than this tool handles"},
      {"beyond the machine's memory", 2147483647, std::size_t{1} << 20, 0, "memory"},
      {"beyond the memory the run may take", std::size_t{1} << 24, 256, limited, "memory"},
  };
  for (const Huge& h : cases) {
    SCOPED_TRACE(h.what);
#if defined(__SANITIZE_ADDRESS__)
    if (h.address_space > 0) continue;
#endif
    TempDir tmp;
    dxtest::ResultSetOptions opt;
    opt.stations = 5;
    auto files = dxtest::result_set(tmp.path(), tmp / "SPI_Stn.nc", opt);
    // Spell_Max declared (never stored) with the huge dimensions, in netCDF-4.
    dxtest::NcFileSpec& layout = dxtest::file_of(files, "Spell_Time_Arr_Stn.nc").layout;
    layout.dim("big_stn", h.stations).dim("big_col", h.columns);
    layout.remove("Spell_Max");
    layout.var("Spell_Max", NC_FLOAT, {"big_col", "big_stn"});
    dxtest::write_all(files);
    for (const auto& [name, content] : kPrevious) dxtest::write_file(tmp / name, content);
    const auto before = dxtest::snapshot(tmp.path());

    const Outcome r = run_tool(tmp.path(), h.address_space);
    DX_SKIP_IF_NO_FIXED_PATH(r);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.err.starts_with("drought-export: error: Spell_Time_Arr_Stn.nc: variable Spell_Max")) << r.err;
    EXPECT_NE(r.err.find(h.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(dxtest::snapshot(tmp.path()), before);
  }
}

}  // namespace
