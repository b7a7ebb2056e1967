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

#include "run/sample_files.hpp"
#include "support/temp_dir.hpp"

namespace dxtest {
namespace {

constexpr std::size_t kStations = 37;

std::string find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');)
    if (!d.empty() && file_exists(d + "/" + name)) return d + "/" + name;
  return "";
}

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
    if (it == cache_.end()) it = cache_.emplace(key, sample::read_var(file, var).values).first;
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
  const auto run = run_command({"/usr/bin/env", "DX_FIXED_PATH_MODE=namespace",
                                std::string(DX_SOURCE_DIR) + "/scripts/at_fixed_path.sh", "SPI_Stn.nc", "--",
                                DX_BINARY},
                               dir.path(), dir / "console.log");
  if (run.status == 125 && run.err.find("no private mount namespace") != std::string::npos)
    GTEST_SKIP() << "the station file cannot be provided at its fixed path here: " << run.err;
  ASSERT_EQ(run.status, 0) << run.err;

  Inputs in;
  const auto f = [&](const std::string& file) { return dir / file; };
  // Columns of a 2-D input variable: one GrADS time step each.
  const auto columns = [&](const std::string& file, const std::string& var) {
    return static_cast<int>(in.get(f(file), var).size() / kStations);
  };
  const std::vector<DataSet> sets = {
      {"Sensl", "sensl", columns("Sen_Prob_idx_Stn.nc", "SenSL"),
       [&](std::size_t s, int t) {
         return in.get(f("Sen_Prob_idx_Stn.nc"), "SenSL")[(t - 1) * kStations + s];
       }},
      {"Fre_all", "fre_all", columns("Fre_Mag_Stn_all_period.nc", "Freq"),
       [&](std::size_t s, int t) {
         return in.get(f("Fre_Mag_Stn_all_period.nc"), "Freq")[(t - 1) * kStations + s];
       }},
      {"Num_Dr_Mon", "dr_mon", columns("Num_Drou_Mon_Stn.nc", "N_Drou_mon"),
       [&](std::size_t s, int t) {
         return in.get(f("Num_Drou_Mon_Stn.nc"), "N_Drou_mon")[(t - 1) * kStations + s];
       }},
      // Per-period sets: time step k is class k (one variable per index and
      // class) of period 3, and of period 12.
      {"Fre_03", "fre", 18,
       [&](std::size_t s, int t) {
         return in.get(f("Fre_Mag_Stn.nc"), sample::period_var("Fre_", t - 1))[2 * kStations + s];
       }},
      {"Mag_12", "mag", 18,
       [&](std::size_t s, int t) {
         return in.get(f("Fre_Mag_Stn.nc"), sample::period_var("Mag_", t - 1))[11 * kStations + s];
       }},
      {"Prob1", "prob1", static_cast<int>(std::size(sample::kPairNames)),
       [&](std::size_t s, int t) {
         return in.get(f("Prob_Tq_pdsi_spi_Stn.nc"), sample::kPairNames[t - 1])[s];
       }},
  };

  // GrADS script: for every data set its time size, then the station
  // reports of the first, a middle and the last time step.
  std::string gs = "'set prnopts %.9g 1 1'\n";
  for (const auto& d : sets) {
    const auto map = run_command({stnmap, "-q", "-i", d.base + ".ctl"}, dir.path());
    ASSERT_EQ(map.status, 0) << d.base << ": " << map.out << map.err;
    gs += "say 'DX-SET " + d.base + "'\n'open " + d.base + ".ctl'\n'q ctlinfo'\nsay result\n";
    for (int t : {1, d.steps / 2, d.steps}) {
      gs += "say 'DX-STEP " + std::to_string(t) + "'\n'set t " + std::to_string(t) +
            "'\n'set gxout print'\n'd " + d.var + "'\nsay result\n";
    }
    gs += "'close 1'\n";
  }
  gs += "'quit'\n";
  write_file(dir / "check.gs", gs);
  const auto g = run_command({grads, "-blc", "run check.gs"}, dir.path());
  ASSERT_EQ(g.status, 0) << g.out << g.err;
  const auto seen = parse(g.out);

  const auto& lon = in.get(f("SPI_Stn.nc"), "lon");
  const auto& lat = in.get(f("SPI_Stn.nc"), "lat");
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
