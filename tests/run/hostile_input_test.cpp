// The real binary on hostile input sets (tests/support/hostile.hpp): each
// run must either succeed with outputs consistent with its inputs, or fail
// cleanly: status 1, one error line naming the file and the variable, and
// no output touched.  It must never crash, hang or draw a sanitizer report
// (in the sanitizer build the binary under test is the sanitized one).
//
// CI runs a fixed set of seeds; scripts/hostile_long.sh runs many more
// through DX_HOSTILE_FIRST and DX_HOSTILE_SEEDS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "input/result_files.hpp"
#include "support/fs.hpp"
#include "support/hostile.hpp"
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

// One seed end to end.
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
  dxtest::write_previous_outputs(tmp.path());
  const auto before = dxtest::snapshot(tmp.path());

  const Outcome r = dxtest::run_tool(tmp.path());
  ++tally.cases;
  tally.run_seconds += r.seconds;
  EXPECT_FALSE(r.timed_out) << "the run hangs";
  const ErrLines e = split_err(r.err);
  EXPECT_TRUE(e.other.empty()) << "standard error holds more than the tool's lines:\n" << r.err;
  if (!e.warnings.empty()) ++tally.warned;
  for (const std::string& w : e.warnings) {
    // A warning is about values beyond the float range, or about records
    // of an unlimited dimension never written (read as the default fill),
    // in a named variable.
    EXPECT_NE(w.find(": variable "), std::string::npos) << w;
    EXPECT_TRUE(w.find("range of a 32-bit float") != std::string::npos ||
                w.find("the netCDF default fill value") != std::string::npos)
        << w;
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
    // The station file is named as the run was given it (--station-file).
    const std::string file(dx::kInputFileNames[static_cast<std::size_t>(c.fail_file)]);
    EXPECT_NE(line.find(file), std::string::npos) << "the error does not name " << file << ": " << line;
    EXPECT_NE(line.find("variable " + c.fail_var), std::string::npos)
        << "the error does not name variable " << c.fail_var << ": " << line;
    EXPECT_TRUE(r.err.ends_with(line + "\n")) << "the error line is not the last line";
  }
  EXPECT_EQ(dxtest::snapshot(tmp.path()), before) << "a failing run changed the folder";
  return r;
}

// The seeds, in shards that ctest runs side by side: seeds 1 to 100 in the
// release build, the first 48 in the (slower) sanitizer build.
// DX_HOSTILE_SEEDS sets another count (scripts/test.sh --sanitize: 60).
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
    if (HasFailure()) {
      ADD_FAILURE() << "first failing seed: " << seed << " (stopping this shard)";
      break;
    }
  }
  std::string why;
  for (const auto& [k, n] : t.why) why += " " + k + ": " + std::to_string(n) + ";";
  std::printf(
      "[ hostile  ] shard %d: %d cases, %d succeeded (%d with 0 stations, %d with warnings), %d failed cleanly:%s"
      " (%.1f s, of which %.1f s in the runs)\n",
      GetParam(), t.cases, t.succeeded, t.zero_stations, t.warned, t.failed, why.c_str(), t.total_seconds,
      t.run_seconds);
}

INSTANTIATE_TEST_SUITE_P(Shards, HostileSeeds, ::testing::Range(0, kShards),
                         [](const auto& info) { return "shard_" + std::to_string(info.param); });

}  // namespace
