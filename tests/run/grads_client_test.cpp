// GrADS as the real client of the station data sets: sample data is run
// through drought-export, GrADS' stnmap builds the station maps, and GrADS in
// batch mode reads the data sets back.  The number of time steps, the station
// reports of a time step (count, position, value) must match what the input
// files held.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "input/result_files.hpp"
#include "run/sample_files.hpp"
#include "support/fs.hpp"
#include "support/nc_fixture.hpp"
#include "support/process.hpp"

namespace dxtest {
namespace {

constexpr std::size_t kStations = 37;

// One data set to check: base name, GrADS variable name, and the expected
// value of station s at time step t (1-based) as read from the input files.
struct DataSet {
  std::string base;
  std::string var;
  int steps;
  std::function<float(std::size_t s, int t)> expected;
};

// Expected values, read once per (file, variable) through the netCDF library.
class Inputs {
 public:
  const std::vector<float>& get(const std::string& file, const std::string& var) {
    const std::string key = file + "/" + var;
    auto it = cache_.find(key);
    if (it == cache_.end()) it = cache_.emplace(key, read_var(file, var).values).first;
    return it->second;
  }

 private:
  std::map<std::string, std::vector<float>> cache_;
};

struct Report {
  double lon = 0, lat = 0, value = 0;
};
struct Step {
  int t = 0;
  int reports = -1;  // as announced by GrADS
  std::vector<Report> stations;
};
struct Seen {
  int tsize = -1;
  std::vector<Step> steps;
};

// Parses what the GrADS script below printed for each data set.
std::map<std::string, Seen> parse(const std::string& out) {
  std::map<std::string, Seen> seen;
  std::istringstream in(out);
  Seen* cur = nullptr;
  Step* step = nullptr;
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string first;
    w >> first;
    if (first == "DX-SET") {
      std::string name;
      w >> name;
      cur = &seen[name];
      step = nullptr;
    } else if (first == "Tsize" && cur) {
      std::string eq;
      w >> eq >> cur->tsize;
    } else if (first == "DX-STEP" && cur) {
      cur->steps.emplace_back();
      step = &cur->steps.back();
      w >> step->t;
    } else if (first == "Printing" && step) {
      // "Printing Stations -- N Reports -- Undef = ..."
      std::string word, dash;
      w >> word >> dash >> step->reports;
    } else if (step && first == "Station_") {
      Report r;
      w >> r.lon >> r.lat;
      std::string value_line;
      std::getline(in, value_line);
      r.value = std::stod(value_line);
      step->stations.push_back(r);
    }
  }
  return seen;
}

TEST(GradsClient, ReadsBackTheSameStepsStationsAndValues) {
  const std::string grads = find_on_path("grads"), stnmap = find_on_path("stnmap");
  if (grads.empty() || stnmap.empty()) GTEST_SKIP() << "GrADS is not installed (Debian package grads)";

  TempDir dir;
  sample::generate(dir.path(), kStations, 21);
  Launch tool = tool_launch(dir.path());
  tool.env.push_back("DX_FIXED_PATH_MODE=namespace");
  tool.stdout_path = dir / "console.log";
  const Outcome r = run(tool);
  ASSERT_EQ(r.status, 0) << r.err;

  Inputs in;
  // Value of station s in column c of an input variable.
  const auto at = [&](std::string_view file, const std::string& var, std::size_t s, std::size_t c) {
    return in.get(dir / std::string(file), var)[c * kStations + s];
  };
  // A 2-D input variable: one GrADS time step a column.
  const auto steps_of = [&](std::string_view file, const std::string& var) {
    return static_cast<int>(in.get(dir / std::string(file), var).size() / kStations);
  };
  const auto column = [&](std::string_view file, std::string var) {
    return [&at, file, var](std::size_t s, int t) { return at(file, var, s, static_cast<std::size_t>(t - 1)); };
  };
  const std::vector<DataSet> sets = {
      {"Sensl", "sensl", steps_of(dx::kSenProbFile, "SenSL"), column(dx::kSenProbFile, "SenSL")},
      {"Fre_all", "fre_all", steps_of(dx::kAllPeriodFile, "Freq"), column(dx::kAllPeriodFile, "Freq")},
      {"Num_Dr_Mon", "dr_mon", steps_of(dx::kDrouMonFile, "N_Drou_mon"), column(dx::kDrouMonFile, "N_Drou_mon")},
      // Per-period sets: time step k is class k (one variable per index and
      // class) of period 3, and of period 12.
      {"Fre_03", "fre", dx::kClasses,
       [&](std::size_t s, int t) { return at(dx::kPeriodFile, dx::period_var("Fre_", t - 1), s, 2); }},
      {"Mag_12", "mag", dx::kClasses,
       [&](std::size_t s, int t) { return at(dx::kPeriodFile, dx::period_var("Mag_", t - 1), s, 11); }},
      {"Prob1", "prob1", dx::kPairs,
       [&](std::size_t s, int t) { return at(dx::kProbTqFile, std::string(dx::kPairName[t - 1]), s, 0); }},
  };

  // GrADS script: for every data set its time size, then the station
  // reports of the first, a middle and the last time step.
  std::string gs = "'set prnopts %.9g 1 1'\n";
  for (const auto& d : sets) {
    const Outcome map = run({.argv = {stnmap, "-q", "-i", d.base + ".ctl"}, .cwd = dir.path()});
    ASSERT_EQ(map.status, 0) << d.base << ": " << map.out << map.err;
    gs += "say 'DX-SET " + d.base + "'\n'open " + d.base + ".ctl'\n'q ctlinfo'\nsay result\n";
    for (int t : {1, d.steps / 2, d.steps}) {
      gs += "say 'DX-STEP " + std::to_string(t) + "'\n'set t " + std::to_string(t) + "'\n'set gxout print'\n'd " +
            d.var + "'\nsay result\n";
    }
    gs += "'close 1'\n";
  }
  gs += "'quit'\n";
  write_file(dir / "check.gs", gs);
  const Outcome g = run({.argv = {grads, "-blc", "run check.gs"}, .cwd = dir.path()});
  ASSERT_EQ(g.status, 0) << g.out << g.err;
  const auto seen = parse(g.out);

  const auto& lon = in.get(dir / "SPI_Stn.nc", "lon");
  const auto& lat = in.get(dir / "SPI_Stn.nc", "lat");
  for (const auto& d : sets) {
    SCOPED_TRACE(d.base);
    ASSERT_TRUE(seen.count(d.base)) << g.out;
    const Seen& s = seen.at(d.base);
    EXPECT_EQ(s.tsize, d.steps) << "time steps GrADS found";
    ASSERT_EQ(s.steps.size(), 3u) << g.out;
    for (const auto& step : s.steps) {
      SCOPED_TRACE("time step " + std::to_string(step.t));
      EXPECT_EQ(step.reports, static_cast<int>(kStations));
      ASSERT_EQ(step.stations.size(), kStations) << g.out;
      for (std::size_t j = 0; j < kStations; ++j) {
        const Report& r = step.stations[j];
        // GrADS prints positions with four significant digits.
        EXPECT_NEAR(r.lon, lon[j], 0.06) << "station " << j;
        EXPECT_NEAR(r.lat, lat[j], 0.06) << "station " << j;
        const double want = d.expected(j, step.t);
        EXPECT_NEAR(r.value, want, 1e-6 * std::fabs(want) + 1e-9) << "station " << j;
      }
    }
  }
}

}  // namespace
}  // namespace dxtest
