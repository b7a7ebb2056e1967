// dx-sample: writes a plausible, deterministic set of drought-analysis result
// files for drought-export to read: the seven result files and the
// station-coordinate file, for a station network over lon 102-110, lat 8-24
// with region codes 1-8.
//
//   dx-sample --out DIR [--stations N] [--seed S] [--format classic|64bit|netcdf4]
//   dx-sample --is-sample FILE     exit 0 if FILE is a station file written here
//
// Every value is a pure function of (seed, station, variable, column), drawn
// from splitmix64 hashes, so the output does not depend on the C++ library and
// station i has the same values whatever the station count.  Each statistic
// combines a smooth "dryness" field over the network with station noise, so
// that maps of it show regional structure.
#include <netcdf.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "input/result_files.hpp"

namespace {

using dx::kClasses;  // 6 indices x 3 drought classes
using dx::kPairs;    // index pairs of the correlation files
using dx::kPeriods;  // analysis periods of the per-period file

constexpr const char* kMarkerName = "dx_sample";
constexpr const char* kMarkerText = "drought-export sample data";
constexpr long kMaxStations = 10'000'000;

constexpr int kIndices = 6;  // drought indices of the Sen's slope files and of the classes

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "dx-sample: %s\n", what.c_str());
  std::exit(1);
}

// Checks one netCDF call; `what` names the file and the object concerned.
void nc_check(int status, const std::string& file, const std::string& what) {
  if (status != NC_NOERR) fail(file + ": " + what + ": " + nc_strerror(status));
}

// ---------------------------------------------------------------- random draws

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Uniform in [0, 1) for one (seed, station, stream, column) key.
double u01(std::uint64_t seed, std::uint64_t station, std::uint64_t stream, std::uint64_t column = 0) {
  std::uint64_t h = splitmix64(seed);
  h = splitmix64(h ^ station);
  h = splitmix64(h ^ (stream << 32) ^ column);
  return static_cast<double>(h >> 11) * 0x1.0p-53;
}

// Streams: one per kind of draw, so that no two quantities share a draw.
enum Stream : std::uint64_t {
  kLon = 1,
  kLat,
  kDry,
  kIdxBias,
  kDrm,
  kFreq,
  kMag,
  kSlope,
  kProb,
  kSpellAve,
  kSpellMax,
  kTimeAve,
  kTimeMax,
  kPerFre,
  kPerMag,
  kCor,
  kCorProb,
  kPeriodTrend
};

double clamp(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }
double round_to(double v, double step) { return std::round(v / step) * step; }

// --------------------------------------------------------------- the network

struct Station {
  double lon, lat, reg, dry;  // dry: 0 (wet) .. 1 (drought-prone)
};

class Network {
 public:
  Network(std::uint64_t seed, long n) : seed_(seed) {
    stations_.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
      const auto s = static_cast<std::uint64_t>(i);
      Station st{};
      st.lon = round_to(102.0 + 8.0 * u01(seed, s, kLon), 0.01);
      st.lat = round_to(8.0 + 16.0 * u01(seed, s, kLat), 0.01);
      // Eight climate regions as two-degree latitude bands, north = 1.
      st.reg = 8.0 - clamp(std::floor((st.lat - 8.0) / 2.0), 0.0, 7.0);
      // Smooth dryness field: a drier south-central belt and a wetter north
      // and coast, plus a little station noise.
      const double x = (st.lon - 102.0) / 8.0, y = (st.lat - 8.0) / 16.0;
      const double field = 0.5 + 0.3 * std::sin(3.0 * y + 0.6) * std::cos(2.2 * x - 0.4) +
                           0.15 * std::cos(5.0 * x + 4.0 * y);
      st.dry = clamp(field + 0.16 * (u01(seed, s, kDry) - 0.5), 0.0, 1.0);
      stations_.push_back(st);
    }
  }
  std::size_t size() const { return stations_.size(); }
  const Station& operator[](std::size_t i) const { return stations_[i]; }
  double u(std::size_t i, Stream stream, std::uint64_t col = 0) const { return u01(seed_, i, stream, col); }
  // Zero-mean noise in [-1, 1).
  double noise(std::size_t i, Stream stream, std::uint64_t col = 0) const { return 2.0 * u(i, stream, col) - 1.0; }
  // A per-index bias shared by all stations (some indices flag more drought).
  double index_bias(int idx) const { return 0.85 + 0.3 * u01(seed_, ~0ull, kIdxBias, static_cast<std::uint64_t>(idx)); }

 private:
  std::uint64_t seed_;
  std::vector<Station> stations_;
};

// Class column k (0..17) = 6 * class + index, classes mod, sev, ext.
int class_of(int k) { return k / kIndices; }
int index_of(int k) { return k % kIndices; }
constexpr double kClassShare[3] = {1.0, 0.45, 0.15};

// ---------------------------------------------------------------- statistics

// Number of drought months in the series, 0..120.
double drought_months(const Network& n, std::size_t i, int k) {
  const double base = 120.0 * n[i].dry * kClassShare[class_of(k)] * n.index_bias(index_of(k));
  return clamp(std::round(base * (0.85 + 0.3 * n.u(i, kDrm, k))), 0.0, 120.0);
}

// Drought frequency over the whole series, percent 0..40.
double frequency(const Network& n, std::size_t i, int k) {
  const double base = 40.0 * n[i].dry * kClassShare[class_of(k)] * n.index_bias(index_of(k));
  return clamp(base * (0.85 + 0.3 * n.u(i, kFreq, k)), 0.0, 40.0);
}

// Mean drought magnitude, 0..3, larger for the severer classes.
double magnitude(const Network& n, std::size_t i, int k) {
  const double base = (0.9 + 0.6 * class_of(k)) * (0.75 + 0.5 * n[i].dry);
  return clamp(base + 0.15 * n.noise(i, kMag, k), 0.0, 3.0);
}

// Sen's slope per index, -0.05..0.05: drying where the network is dry.
double sen_slope(const Network& n, std::size_t i, int idx) {
  return clamp(0.06 * (n[i].dry - 0.5) + 0.012 * n.noise(i, kSlope, idx), -0.05, 0.05);
}

// p-value of a Sen's slope: small for steep trends.
double sen_prob(const Network& n, std::size_t i, int idx) {
  return clamp(std::exp(-std::fabs(sen_slope(n, i, idx)) * 90.0) + 0.08 * n.noise(i, kProb, idx), 0.0, 1.0);
}

// Mean and longest drought spell, months 1..20 (longest >= mean).
double spell_ave(const Network& n, std::size_t i, int k) {
  const double base = 1.5 + 6.0 * n[i].dry * (1.0 - 0.3 * class_of(k));
  return clamp(base + 0.8 * n.noise(i, kSpellAve, k), 1.0, 20.0);
}
double spell_max(const Network& n, std::size_t i, int k) {
  const double ave = spell_ave(n, i, k);
  return clamp(std::round(ave + (20.0 - ave) * (0.2 + 0.5 * n.u(i, kSpellMax, k) * n[i].dry)), ave, 20.0);
}

// Mean and longest time between two drought events, months 1..60.
double time_ave(const Network& n, std::size_t i, int k) {
  const double base = 4.0 + 30.0 * (1.0 - n[i].dry) * (0.6 + 0.4 * class_of(k));
  return clamp(base + 3.0 * n.noise(i, kTimeAve, k), 1.0, 60.0);
}
double time_max(const Network& n, std::size_t i, int k) {
  const double ave = time_ave(n, i, k);
  return clamp(std::round(ave + (60.0 - ave) * (0.15 + 0.6 * n.u(i, kTimeMax, k))), ave, 60.0);
}

// Per-period frequency and magnitude: the whole-series value with a drift
// across the periods and period-to-period scatter.
double period_factor(const Network& n, std::size_t i, int p, Stream stream, int k) {
  const double trend = 0.5 * (n[i].dry - 0.4) * (p - (kPeriods - 1) / 2.0) / kPeriods;
  return 1.0 + trend + 0.35 * n.noise(i, stream, static_cast<std::uint64_t>(k * kPeriods + p));
}
double period_frequency(const Network& n, std::size_t i, int k, int p) {
  return clamp(frequency(n, i, k) * period_factor(n, i, p, kPerFre, k), 0.0, 40.0);
}
double period_magnitude(const Network& n, std::size_t i, int k, int p) {
  return clamp(magnitude(n, i, k) * (0.85 + 0.15 * period_factor(n, i, p, kPerMag, k)), 0.0, 3.0);
}

// Correlation between two indices, -1..1 (mostly strongly positive), and its
// p-value.
double correlation(const Network& n, std::size_t i, int pair) {
  const double base = 0.45 + 0.04 * (pair % 4) + 0.12 * (pair >= 8);
  return clamp(base + 0.3 * n.noise(i, kCor, pair) + 0.1 * (n[i].dry - 0.5), -1.0, 1.0);
}
double correlation_prob(const Network& n, std::size_t i, int pair) {
  return clamp(std::exp(-9.0 * std::fabs(correlation(n, i, pair))) + 0.01 * n.u(i, kCorProb, pair), 0.0, 1.0);
}

// --------------------------------------------------------------- file writer

// One netCDF file being defined and then written.  Variables are float,
// 1-D over the station dimension or 2-D (column, station), so that the
// station dimension varies fastest.
class NcFile {
 public:
  NcFile(const std::string& path, int cmode, std::size_t nstn) : path_(path), nstn_(nstn) {
    nc_check(nc_create(path.c_str(), cmode | NC_CLOBBER, &ncid_), path_, "cannot create the file");
    int old_fill = 0;
    nc_check(nc_set_fill(ncid_, NC_NOFILL, &old_fill), path_, "cannot set the fill mode");
    stn_dim_ = def_coord("stn", nstn, "station number");
  }
  NcFile(const NcFile&) = delete;
  NcFile& operator=(const NcFile&) = delete;
  ~NcFile() {
    if (ncid_ >= 0) nc_close(ncid_);  // only reached on the way out of a failure
  }

  // A dimension with its coordinate variable 1..len (written at end_define).
  int def_coord(const char* name, std::size_t len, const char* long_name) {
    int dim = -1, var = -1;
    nc_check(nc_def_dim(ncid_, name, len, &dim), path_, std::string("dimension ") + name);
    nc_check(nc_def_var(ncid_, name, NC_INT, 1, &dim, &var), path_, std::string("variable ") + name);
    put_text_att(var, "long_name", long_name);
    coords_.push_back({var, len});
    return dim;
  }

  // A float variable over the station dimension, or over (col_dim, station)
  // for col_dim >= 0; `units` null or empty for values without a unit (the
  // magnitudes, slopes, p-values, correlations and region codes).
  int def_var(const std::string& name, int col_dim, const std::string& long_name, const char* units) {
    int var = -1;
    if (col_dim < 0) {
      nc_check(nc_def_var(ncid_, name.c_str(), NC_FLOAT, 1, &stn_dim_, &var), path_, "variable " + name);
    } else {
      const int dims[2] = {col_dim, stn_dim_};
      nc_check(nc_def_var(ncid_, name.c_str(), NC_FLOAT, 2, dims, &var), path_, "variable " + name);
    }
    put_text_att(var, "long_name", long_name);
    if (units && *units) put_text_att(var, "units", units);
    return var;
  }

  void put_text_att(int var, const char* name, const std::string& text) {
    nc_check(nc_put_att_text(ncid_, var, name, text.size(), text.c_str()), path_, std::string("attribute ") + name);
  }

  // Leaves define mode and writes the coordinate variables.
  void end_define() {
    put_text_att(NC_GLOBAL, "title", "drought-export sample data set");
    nc_check(nc_enddef(ncid_), path_, "cannot leave define mode");
    for (const auto& c : coords_) {
      std::vector<int> v(c.len);
      for (std::size_t i = 0; i < c.len; ++i) v[i] = static_cast<int>(i + 1);
      nc_check(nc_put_var_int(ncid_, c.var, v.data()), path_, "writing a coordinate variable");
    }
  }

  // Writes one whole variable of `cols` columns, value(station, column).
  template <class F>
  void put(int var, int cols, const std::string& name, F value) {
    std::vector<float> buf(nstn_ * static_cast<std::size_t>(std::max(cols, 1)));
    const int ncols = std::max(cols, 1);
    for (int c = 0; c < ncols; ++c)
      for (std::size_t s = 0; s < nstn_; ++s)
        buf[static_cast<std::size_t>(c) * nstn_ + s] = static_cast<float>(value(s, c));
    nc_check(nc_put_var_float(ncid_, var, buf.data()), path_, "writing variable " + name);
  }

  void close() {
    const int id = ncid_;
    ncid_ = -1;
    nc_check(nc_close(id), path_, "cannot complete the file");
  }

 private:
  struct Coord {
    int var;
    std::size_t len;
  };
  std::string path_;
  std::size_t nstn_;
  int ncid_ = -1;
  int stn_dim_ = -1;
  std::vector<Coord> coords_;
};

std::string class_label(int k) {
  return std::string(dx::kPeriodIndex[static_cast<std::size_t>(index_of(k))]) + " " +
         std::string(dx::kClassSuffix[static_cast<std::size_t>(class_of(k))]);
}

// A file of 2-D statistics over the 18 class columns, one (name, long name,
// units or null, value) entry per variable.
struct ClassVar {
  const char* name;
  const char* long_name;
  const char* units;
  double (*value)(const Network&, std::size_t, int);
};

void write_class_file(const std::string& path, int cmode, const Network& net, std::initializer_list<ClassVar> vars) {
  NcFile f(path, cmode, net.size());
  const int cls = f.def_coord("cls", kClasses, "drought index and class (pdsi..spi12 x mod, sev, ext)");
  std::vector<int> ids;
  for (const auto& v : vars) ids.push_back(f.def_var(v.name, cls, v.long_name, v.units));
  f.end_define();
  std::size_t n = 0;
  for (const auto& v : vars) {
    f.put(ids[n++], kClasses, v.name, [&](std::size_t s, int k) { return v.value(net, s, k); });
  }
  f.close();
}

void write_all(const std::string& dir, int cmode, const Network& net) {
  const auto at = [&](std::string_view name) { return dir + "/" + std::string(name); };

  write_class_file(at(dx::kDrouMonFile), cmode, net,
                   {{"N_Drou_mon", "number of drought months", "months", drought_months}});

  {
    NcFile f(at(dx::kSenProbFile), cmode, net.size());
    const int idx = f.def_coord("idx", kIndices, "drought index (pdsi, scpdsi, spei06, spei12, spi06, spi12)");
    const int sl = f.def_var("SenSL", idx, "Sen's slope", nullptr);
    const int pr = f.def_var("Prob", idx, "p-value of Sen's slope", nullptr);
    f.end_define();
    f.put(sl, kIndices, "SenSL", [&](std::size_t s, int c) { return sen_slope(net, s, c); });
    f.put(pr, kIndices, "Prob", [&](std::size_t s, int c) { return sen_prob(net, s, c); });
    f.close();
  }

  write_class_file(at(dx::kSpellFile), cmode, net,
                   {{"Spell_Ave", "mean drought-spell length", "months", spell_ave},
                    {"Spell_Max", "longest drought spell", "months", spell_max},
                    {"Time_Arr_Ave", "mean time between drought events", "months", time_ave},
                    {"Time_Arr_Max", "longest time between drought events", "months", time_max}});

  write_class_file(at(dx::kAllPeriodFile), cmode, net,
                   {{"Freq", "drought frequency, whole series", "%", frequency},
                    {"Mag", "drought magnitude, whole series", nullptr, magnitude}});

  {
    NcFile f(at(dx::kPeriodFile), cmode, net.size());
    const int per = f.def_coord("period", kPeriods, "analysis period");
    struct Entry {
      std::string name;
      int var;
      int k;
      bool fre;
    };
    std::vector<Entry> entries;
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < kIndices; ++i)
        for (const bool fre : {true, false}) {
          const int k = c * kIndices + i;
          const std::string name = dx::period_var(fre ? "Fre_" : "Mag_", static_cast<std::size_t>(k));
          const std::string what = std::string(fre ? "drought frequency" : "drought magnitude") + " per period, " +
                                   class_label(k);
          entries.push_back({name, f.def_var(name, per, what, fre ? "%" : nullptr), k, fre});
        }
    f.end_define();
    for (const auto& e : entries)
      f.put(e.var, kPeriods, e.name, [&](std::size_t s, int p) {
        return e.fre ? period_frequency(net, s, e.k, p) : period_magnitude(net, s, e.k, p);
      });
    f.close();
  }

  for (const bool prob : {false, true}) {
    NcFile f(at(prob ? dx::kProbTqFile : dx::kTqFile), cmode, net.size());
    int ids[kPairs];
    for (int j = 0; j < kPairs; ++j) {
      const std::string pair(dx::kPairName[static_cast<std::size_t>(j)]);
      ids[j] = f.def_var(pair, -1, (prob ? "p-value of the correlation " : "correlation ") + pair, nullptr);
    }
    f.end_define();
    for (int j = 0; j < kPairs; ++j)
      f.put(ids[j], 1, std::string(dx::kPairName[static_cast<std::size_t>(j)]),
            [&](std::size_t s, int) { return prob ? correlation_prob(net, s, j) : correlation(net, s, j); });
    f.close();
  }

  {
    NcFile f(at(dx::kStationFileName), cmode, net.size());
    const int lon = f.def_var("lon", -1, "longitude", "degrees_east");
    const int lat = f.def_var("lat", -1, "latitude", "degrees_north");
    const int reg = f.def_var("reg", -1, "climate region code", nullptr);
    f.put_text_att(NC_GLOBAL, kMarkerName, kMarkerText);
    f.end_define();
    f.put(lon, 1, "lon", [&](std::size_t s, int) { return net[s].lon; });
    f.put(lat, 1, "lat", [&](std::size_t s, int) { return net[s].lat; });
    f.put(reg, 1, "reg", [&](std::size_t s, int) { return net[s].reg; });
    f.close();
  }
}

// ----------------------------------------------------------------- commands

// Exit 0 when `path` is a netCDF file carrying this generator's marker.
int is_sample(const std::string& path) {
  int ncid = -1;
  int st = nc_open(path.c_str(), NC_NOWRITE, &ncid);
  if (st != NC_NOERR) {
    std::fprintf(stderr, "dx-sample: %s: not a readable netCDF file: %s\n", path.c_str(), nc_strerror(st));
    return 1;
  }
  std::size_t len = 0;
  nc_type type = NC_NAT;
  bool marked = false;
  st = nc_inq_att(ncid, NC_GLOBAL, kMarkerName, &type, &len);
  if (st == NC_NOERR && type == NC_CHAR && len == std::strlen(kMarkerText)) {
    std::string text(len, '\0');
    st = nc_get_att_text(ncid, NC_GLOBAL, kMarkerName, text.data());
    marked = st == NC_NOERR && text == kMarkerText;
  }
  const int cst = nc_close(ncid);
  if (st != NC_NOERR && st != NC_ENOTATT) {
    std::fprintf(stderr, "dx-sample: %s: cannot read its attributes: %s\n", path.c_str(), nc_strerror(st));
    return 1;
  }
  if (cst != NC_NOERR) {
    std::fprintf(stderr, "dx-sample: %s: %s\n", path.c_str(), nc_strerror(cst));
    return 1;
  }
  if (!marked) {
    std::fprintf(stderr, "dx-sample: %s: not written by dx-sample (no %s attribute)\n", path.c_str(), kMarkerName);
    return 1;
  }
  return 0;
}

[[noreturn]] void usage(const char* msg) {
  if (msg) std::fprintf(stderr, "dx-sample: %s\n", msg);
  std::fprintf(stderr,
               "usage: dx-sample --out DIR [--stations N] [--seed S] [--format classic|64bit|netcdf4]\n"
               "       dx-sample --is-sample FILE\n");
  std::exit(2);
}

bool parse_number(const char* text, long long lo, long long hi, long long& out) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_dir;
  long long stations = 150;
  long long seed = 1;
  int cmode = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage((a + " needs a value").c_str());
      return argv[++i];
    };
    if (a == "--out") {
      out_dir = value();
    } else if (a == "--stations") {
      const char* v = value();
      if (!parse_number(v, 1, kMaxStations, stations))
        usage(("--stations wants a whole number from 1 to " + std::to_string(kMaxStations) + ", not \"" + v + "\"")
                  .c_str());
    } else if (a == "--seed") {
      const char* v = value();
      if (!parse_number(v, 0, INT64_MAX, seed))
        usage(("--seed wants a whole number >= 0, not \"" + std::string(v) + "\"").c_str());
    } else if (a == "--format") {
      const std::string v = value();
      if (v == "classic") cmode = 0;
      else if (v == "64bit") cmode = NC_64BIT_OFFSET;
      else if (v == "netcdf4") cmode = NC_NETCDF4 | NC_CLASSIC_MODEL;
      else usage(("unknown format \"" + v + "\"").c_str());
    } else if (a == "--is-sample") {
      const char* v = value();
      if (i + 1 != argc) usage("--is-sample takes one file and nothing else");
      return is_sample(v);
    } else if (a == "-h" || a == "--help") {
      usage(nullptr);
    } else {
      usage(("unknown argument \"" + a + "\"").c_str());
    }
  }
  if (out_dir.empty()) usage("--out DIR is required");

  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  if (ec) fail(out_dir + ": cannot create the folder: " + ec.message());
  if (!std::filesystem::is_directory(out_dir, ec)) fail(out_dir + ": not a folder");

  const Network net(static_cast<std::uint64_t>(seed), static_cast<long>(stations));
  write_all(out_dir, cmode, net);
  std::printf("dx-sample: wrote 8 files for %lld stations (seed %lld) into %s\n", stations, seed, out_dir.c_str());
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail("cannot write to standard output");
  return 0;
}
