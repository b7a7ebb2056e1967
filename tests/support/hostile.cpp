#include "support/hostile.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>

namespace dxtest::hostile {

namespace {

constexpr int kFiles = dx::kInputFiles;
constexpr int kStationFile = dx::kStationInput;

std::string file_name(int f) { return std::string(dx::kInputFileNames[static_cast<std::size_t>(f)]); }

// Reproducible choices from the raw output of a standard engine.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : e_(seed * 0x9E3779B97F4A7C15ull + 12345) {}
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : e_() % n; }
  std::size_t in(std::size_t lo, std::size_t hi) { return lo + below(hi - lo + 1); }
  bool chance(double p) { return static_cast<double>(e_() >> 11) * 0x1.0p-53 < p; }
  double unit() { return static_cast<double>(e_() >> 11) * 0x1.0p-53; }
  template <typename T>
  const T& pick(const std::vector<T>& v) {
    return v[below(v.size())];
  }

 private:
  std::mt19937_64 e_;
};

bool classic_type(nc_type t) {
  return t == NC_BYTE || t == NC_CHAR || t == NC_SHORT || t == NC_INT || t == NC_FLOAT || t == NC_DOUBLE;
}
bool real_type(nc_type t) { return t == NC_FLOAT || t == NC_DOUBLE; }

const std::vector<nc_type> kNumeric = {NC_BYTE, NC_UBYTE, NC_SHORT,  NC_USHORT, NC_INT,
                                       NC_UINT, NC_INT64, NC_UINT64, NC_FLOAT,  NC_DOUBLE};

const std::vector<nc_type> kClassicNumeric = {NC_BYTE, NC_SHORT, NC_INT, NC_FLOAT, NC_DOUBLE};

// A stored type for a numeric variable of a file of the given format:
// mostly float, any numeric type the format holds otherwise.
nc_type numeric_type(Rng& r, NcFormat f) {
  if (r.chance(0.45)) return NC_FLOAT;
  return f == NcFormat::NetCDF4 ? r.pick(kNumeric) : r.pick(kClassicNumeric);
}

std::uint64_t splitmix(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Value of element `i` of variable `v`: a pure function of the case seed,
// the variable and the position, within the range of the stored type.
double element(std::uint64_t seed, int v, std::size_t i, nc_type type, double special_rate) {
  std::uint64_t state = seed ^ (static_cast<std::uint64_t>(v + 1) << 40) ^ (i * 0x9E3779B97F4A7C15ull);
  const std::uint64_t a = splitmix(state), b = splitmix(state);
  const double u = static_cast<double>(b >> 11) * 0x1.0p-53;
  switch (type) {
    case NC_BYTE: return static_cast<double>(static_cast<int>(a % 256) - 128);
    case NC_UBYTE: return static_cast<double>(a % 256);
    case NC_SHORT: return static_cast<double>(static_cast<int>(a % 65536) - 32768);
    case NC_USHORT: return static_cast<double>(a % 65536);
    case NC_INT: return static_cast<double>(static_cast<std::int64_t>(a % 4294967296ull) - 2147483648ll);
    case NC_UINT: return static_cast<double>(a % 4294967296ull);
    case NC_INT64: return std::ldexp(u * 2 - 1, static_cast<int>(a % 63));  // |x| < 2^62
    case NC_UINT64: return std::ldexp(u, static_cast<int>(a % 64));
    default: break;
  }
  if (u < special_rate) {
    // Specials; those beyond the float range only where they can be stored.
    const bool dbl = type == NC_DOUBLE;
    switch (a % 10) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return std::numeric_limits<double>::infinity();
      case 2: return -std::numeric_limits<double>::infinity();
      case 3: return -0.0;
      case 4: return dbl ? 1e39 : 3.0e38;  // beyond the float range
      case 5: return dbl ? -1e300 : -std::numeric_limits<float>::max();
      case 6: return dbl ? 1.5e-30 : 1.0e-40;  // a float subnormal only as float
      case 7: return 123456789.125;            // too wide for F12.3
      case 8: return -99999.9995;
      default: return 0.0625 * static_cast<double>(a % 64);  // exact ties at 3 decimals
    }
  }
  // Ordinary values of every size that the tables show.
  const int scale = static_cast<int>(a % 9) - 3;  // 1e-3 .. 1e5
  return (u * 2 - 1) * std::pow(10.0, scale) * 9.99;
}

std::string text_of(std::uint64_t seed, std::size_t n) {
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (seed + i * 7) % 26);
  return s;
}

}  // namespace

std::string file_path(int f, const std::string& dir, const std::string& station_path) {
  return f == kStationFile ? station_path : dir + "/" + file_name(f);
}

std::string Case::describe() const {
  std::string s = "seed " + std::to_string(seed) + ", " + std::to_string(stations) + " stations";
  for (int f = 0; f < kFiles; ++f) {
    s += "\n  " + file_name(f) + ": " + format_name(files[f].format);
    if (files[f].unlimited) s += ", unlimited dimension";
  }
  if (mutations.empty()) s += "\n  no mutation";
  for (const std::string& m : mutations) s += "\n  mutation: " + m;
  if (expect_success) s += "\n  expected: success";
  else s += "\n  expected: failure naming " + file_name(fail_file) + " and " + fail_var + " (" + why + ")";
  return s;
}

Case plan_case(std::uint64_t seed) {
  Rng r(seed);
  Case c;
  c.seed = seed;
  const double band = r.unit();
  c.stations = band < 0.07   ? 0
               : band < 0.30 ? r.in(1, 5)
               : band < 0.75 ? r.in(6, 60)
               : band < 0.93 ? r.in(61, 400)
                             : r.in(990, 2500);
  const std::vector<NcFormat> formats = {NcFormat::Classic, NcFormat::Offset64, NcFormat::NetCDF4};
  const std::vector<std::string> station_dims = {"stn", "station", "x", "station_number_of_the_network"};
  const std::vector<std::string> column_dims = {"col", "class", "index", "period", "drought_class_or_index_dimension"};
  c.files.resize(kFiles);
  for (FilePlan& f : c.files) {
    f.format = r.pick(formats);
    f.station_dim = r.pick(station_dims);
    f.column_dim = r.pick(column_dims);
    f.coords = r.chance(0.8);
    f.unlimited = r.chance(0.15);
  }
  const auto& items = dx::input_reads();
  for (std::size_t i = 0; i < items.size(); ++i) {
    VarPlan v;
    v.item = static_cast<int>(i);
    v.file = items[i].file;
    v.type = numeric_type(r, c.files[static_cast<std::size_t>(v.file)].format);
    v.rank = items[i].rank;
    v.stations = c.stations;
    v.columns = static_cast<std::size_t>(items[i].min_columns);
    if (real_type(v.type) && r.chance(0.3)) v.special_rate = r.chance(0.5) ? 0.1 : 0.6;
    c.vars.push_back(v);
  }
  // The station file: plain coordinates most of the time, as they come.
  for (VarPlan& v : c.vars)
    if (v.file == kStationFile && r.chance(0.6)) v.type = NC_FLOAT;

  const auto any_var = [&]() -> VarPlan& { return c.vars[r.below(c.vars.size())]; };
  const auto two_d_var = [&]() -> VarPlan& { return c.vars[r.below(45)]; };  // the 2-D reads come first
  const auto other_file = [&](int f) {
    int g = static_cast<int>(r.below(kFiles - 1));
    return g >= f ? g + 1 : g;
  };
  const auto name = [&](const VarPlan& v) {
    return file_name(items[static_cast<std::size_t>(v.item)].file) + ":" + items[static_cast<std::size_t>(v.item)].var;
  };

  const double k = r.unit();
  const int nmut = k < 0.28 ? 0 : k < 0.62 ? 1 : k < 0.85 ? 2 : k < 0.95 ? 3 : 4;
  for (int m = 0; m < nmut; ++m) {
    switch (r.below(19)) {
      case 0: {  // a variable missing
        VarPlan& v = any_var();
        v.file = -1;
        c.mutations.push_back(name(v) + " missing");
        break;
      }
      case 1: {  // the right name in the wrong file only
        VarPlan& v = any_var();
        v.file = other_file(items[static_cast<std::size_t>(v.item)].file);
        c.mutations.push_back(name(v) + " only in " + file_name(v.file));
        break;
      }
      case 2: {  // the right name in a wrong file too
        VarPlan& v = any_var();
        v.copy_in = other_file(v.file < 0 ? 0 : v.file);
        c.mutations.push_back(name(v) + " also in " + file_name(v.copy_in));
        break;
      }
      case 3: {  // a whole file missing
        const int f = static_cast<int>(r.below(kFiles));
        c.files[static_cast<std::size_t>(f)].missing = true;
        c.mutations.push_back(file_name(f) + " missing");
        break;
      }
      case 4: {  // text or string instead of numbers
        VarPlan& v = any_var();
        v.type = r.chance(0.5) ? NC_CHAR : NC_STRING;
        c.mutations.push_back(name(v) + " of type " + type_name(v.type));
        break;
      }
      case 5: {  // another rank
        VarPlan& v = any_var();
        const int rank = v.rank;
        while (v.rank == rank) v.rank = static_cast<int>(r.below(4));
        if (v.rank >= 2 && v.columns == 0) v.columns = r.in(1, 20);
        c.mutations.push_back(name(v) + " of rank " + std::to_string(v.rank));
        break;
      }
      case 6: {  // one station more or less, in one variable or a whole file
        VarPlan& v = any_var();
        const std::size_t n = v.stations == 0 || r.chance(0.5) ? v.stations + 1 : v.stations - 1;
        if (r.chance(0.5)) {
          v.stations = n;
          c.mutations.push_back(name(v) + " with " + std::to_string(n) + " stations");
        } else {
          const int f = items[static_cast<std::size_t>(v.item)].file;
          for (VarPlan& w : c.vars)
            if (items[static_cast<std::size_t>(w.item)].file == f && !w.huge) w.stations = n;
          c.mutations.push_back(file_name(f) + " with " + std::to_string(n) + " stations");
        }
        break;
      }
      case 7: {  // too few columns, or periods off by one
        VarPlan& v = two_d_var();
        const auto need = static_cast<std::size_t>(items[static_cast<std::size_t>(v.item)].min_columns);
        v.columns = need == 12 ? (r.chance(0.5) ? 11 : 13) : r.in(0, need - 1);
        c.mutations.push_back(name(v) + " with " + std::to_string(v.columns) + " columns");
        break;
      }
      case 8: {  // more columns than the tables show
        VarPlan& v = c.vars[r.below(9)];
        v.columns += c.stations <= 50 && r.chance(0.3) ? r.in(990, 1100) : r.in(1, 5);
        c.mutations.push_back(name(v) + " with " + std::to_string(v.columns) + " columns");
        break;
      }
      case 9: {  // long dimension names everywhere
        for (FilePlan& f : c.files) {
          f.station_dim = "station_dimension_of_the_network";
          f.column_dim = "column_dimension_of_the_statistic";
        }
        c.mutations.push_back("dimension names longer than 15 characters");
        break;
      }
      case 10: {  // no coordinate variables
        for (FilePlan& f : c.files) f.coords = false;
        c.mutations.push_back("no coordinate variables");
        break;
      }
      case 11: {  // a coordinate variable of the wrong type or shape
        const int f = static_cast<int>(r.below(kFiles));
        c.files[static_cast<std::size_t>(f)].coords = true;
        c.files[static_cast<std::size_t>(f)].hostile_coord = true;
        c.mutations.push_back(file_name(f) + " with an unusable station coordinate variable");
        break;
      }
      case 12: {  // a netCDF-3 file cut short
        const int f = static_cast<int>(r.below(kFiles));
        FilePlan& fp = c.files[static_cast<std::size_t>(f)];
        fp.format = r.chance(0.5) ? NcFormat::Classic : NcFormat::Offset64;
        fp.cut = r.unit();
        for (VarPlan& v : c.vars)
          if (v.file == f && !classic_type(v.type)) v.type = NC_FLOAT;
        c.mutations.push_back(file_name(f) + " cut to " + std::to_string(fp.cut) + " of its length");
        break;
      }
      case 13: {  // dimensions beyond any machine's memory (netCDF-4, declared only)
        VarPlan& v = two_d_var();
        v.huge = true;
        v.rank = 2;
        v.stations = r.chance(0.5) ? 2147483647u : 4294967296ull;
        v.columns = std::size_t{1} << 20;
        c.mutations.push_back(name(v) + " declared with " + std::to_string(v.stations) + " x " +
                              std::to_string(v.columns) + " values");
        break;
      }
      case 14: {  // NaN, infinities, values beyond the float range everywhere
        for (VarPlan& v : c.vars) {
          if (r.chance(0.5)) v.type = r.chance(0.5) ? NC_FLOAT : NC_DOUBLE;
          if (real_type(v.type)) v.special_rate = 0.5;
        }
        c.mutations.push_back("NaN, infinities and huge values in many variables");
        break;
      }
      case 15: {  // Prob with more columns than SenSL
        c.vars[2].columns = c.vars[1].columns + r.in(1, 3);
        c.mutations.push_back("Prob with more columns than SenSL");
        break;
      }
      case 16: {  // every stored type but float
        for (VarPlan& v : c.vars) v.type = r.pick(kNumeric);
        c.mutations.push_back("stored types of every kind");
        break;
      }
      case 17: {  // no stations at all
        c.stations = 0;
        for (VarPlan& v : c.vars)
          if (!v.huge) v.stations = 0;
        c.mutations.push_back("no stations");
        break;
      }
      default: {  // a wrong-file variable that shadows a coordinate name: harmless extras
        const int f = static_cast<int>(r.below(kFiles));
        c.files[static_cast<std::size_t>(f)].unlimited = true;
        c.mutations.push_back(file_name(f) + " with unlimited dimensions");
        break;
      }
    }
  }

  // Formats that can hold the plan: extended types, strings, dimensions of
  // length 0 (an unlimited one in netCDF-3, and only one) and declared-only
  // huge variables need netCDF-4.
  for (const VarPlan& v : c.vars) {
    for (int f : {v.file, v.copy_in}) {
      if (f < 0) continue;
      FilePlan& fp = c.files[static_cast<std::size_t>(f)];
      const bool zero = v.stations == 0 || (v.rank >= 2 && v.columns == 0);
      if (!classic_type(v.type) || v.type == NC_STRING || zero || v.huge) {
        if (fp.cut >= 0) {
          c.mutations.push_back(file_name(f) + " needs netCDF-4 and is not cut after all");
          fp.cut = -1.0;
        }
        fp.format = NcFormat::NetCDF4;
      }
    }
  }
  for (const FilePlan& fp : c.files)
    if (fp.cut >= 0 && fp.format == NcFormat::NetCDF4) throw std::logic_error("cut netCDF-4 file");

  // The outcome: a missing result file is reported before anything is
  // read (the first one met in reading order, with its first variable; a
  // "missing" station file is an empty one, see write_case); else the
  // first read that cannot succeed, in reading order.
  for (const dx::InputVar& it : items) {
    if (it.file == dx::kStationInput || !c.files[static_cast<std::size_t>(it.file)].missing) continue;
    c.expect_success = false;
    c.fail_file = it.file;
    c.fail_var = it.var;
    c.why = "file missing";
    break;
  }
  std::size_t ref = 0;
  std::size_t sensl_cols = 0;
  for (std::size_t i = 0; i < items.size() && c.expect_success; ++i) {
    const dx::InputVar& it = items[i];
    const VarPlan& v = c.vars[i];
    const FilePlan& fp = c.files[static_cast<std::size_t>(it.file)];
    auto fail = [&](const std::string& why) {
      c.expect_success = false;
      c.fail_file = it.file;
      c.fail_var = it.var;
      c.why = why;
    };
    if (fp.missing) fail("file missing");
    else if (fp.cut >= 0) fail("file cut short");
    else if (v.file != it.file) fail("variable not in its file");
    else if (v.type == NC_CHAR || v.type == NC_STRING) fail("not numeric");
    else if (v.rank != it.rank) fail("wrong rank");
    else if (v.huge) fail("too large");
    else if (i > 0 && v.stations != ref) fail("station count differs");
    else if (it.min_columns == dx::kPeriods && v.columns != 12) fail("not 12 periods");
    else if (it.rank == 2 && v.columns < static_cast<std::size_t>(it.min_columns)) fail("too few columns");
    else if (it.var == "Prob" && v.columns > sensl_cols) fail("more columns than SenSL");
    if (i == 0) ref = v.stations;
    if (it.var == "SenSL") sensl_cols = v.columns;
  }
  return c;
}

namespace {

// Dimension names of one file: the file's own name for its main length,
// a suffixed one for each other length.
std::string dim_for(NcLayout& layout, const std::string& base, std::size_t len, std::size_t main_len, bool unlimited) {
  std::string name = len == main_len ? base : base + "_" + std::to_string(len);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto it = std::find_if(layout.dims.begin(), layout.dims.end(),
                                 [&](const NcDim& d) { return d.name == name; });
    if (it == layout.dims.end()) break;
    if (it->len == len) return name;
    name = base + "_" + std::to_string(len);  // the plain name holds another length
  }
  layout.dim(name, len, unlimited && len > 0);
  return name;
}

// Column count of the variables of a sound file: that of its first read.
std::size_t main_columns(int f) {
  for (const dx::InputVar& r : dx::input_reads())
    if (r.file == f) return r.rank == 2 ? static_cast<std::size_t>(r.min_columns) : 1;
  return 1;
}

bool has_var(const NcLayout& layout, const std::string& name) {
  return std::any_of(layout.vars.begin(), layout.vars.end(), [&](const NcVar& v) { return v.name == name; });
}

}  // namespace

void write_case(const Case& c, const std::string& dir, const std::string& station_path) {
  const auto& items = dx::input_reads();
  std::vector<NcLayout> layouts(kFiles);
  for (int f = 0; f < kFiles; ++f)
    layouts[static_cast<std::size_t>(f)].format = c.files[static_cast<std::size_t>(f)].format;

  for (const VarPlan& v : c.vars) {
    const dx::InputVar& it = items[static_cast<std::size_t>(v.item)];
    for (int f : {v.file, v.copy_in}) {
      if (f < 0) continue;
      NcLayout& layout = layouts[static_cast<std::size_t>(f)];
      const FilePlan& fp = c.files[static_cast<std::size_t>(f)];
      if (has_var(layout, it.var)) continue;
      // One unlimited dimension, declared first by the variables that use
      // it (netCDF-3 allows no other): the columns of 2-D files, the
      // stations of 1-D ones.
      const bool one_d_file = f >= 5;
      // An unlimited dimension is as long as what is written along it: none
      // where the variable that declares it holds no values.
      const bool values = v.stations > 0 && (v.rank < 2 || v.columns > 0);
      const std::string stn = dim_for(layout, fp.station_dim, v.stations, c.stations,
                                      fp.unlimited && values && !v.huge && one_d_file && v.rank == 1);
      std::vector<std::string> dims;
      if (v.rank >= 3) dims.push_back(dim_for(layout, "extra", 2, 2, false));
      if (v.rank >= 2) {
        dims.push_back(dim_for(layout, fp.column_dim, v.columns, main_columns(f),
                               fp.unlimited && values && !v.huge && v.rank == 2 && !one_d_file));
      }
      if (v.rank >= 1) dims.push_back(stn);
      NcVar& var = layout.var(it.var, v.type, dims);
      if (v.huge) continue;  // declared only: nothing stored
      std::size_t n = 1;
      for (const std::string& d : dims)
        for (const NcDim& nd : layout.dims)
          if (nd.name == d) n *= nd.len;
      if (v.type == NC_CHAR) {
        var.text = text_of(c.seed, n);
      } else if (v.type == NC_STRING) {
        for (std::size_t i = 0; i < n; ++i) var.strings.push_back(text_of(c.seed + i, 1 + i % 5));
      } else if (v.type == NC_FLOAT) {
        var.fvalues.resize(n);
        for (std::size_t i = 0; i < n; ++i)
          var.fvalues[i] = static_cast<float>(element(c.seed, v.item, i, v.type, v.special_rate));
      } else {
        var.values.resize(n);
        for (std::size_t i = 0; i < n; ++i) var.values[i] = element(c.seed, v.item, i, v.type, v.special_rate);
      }
    }
  }

  for (int f = 0; f < kFiles; ++f) {
    const FilePlan& fp = c.files[static_cast<std::size_t>(f)];
    NcLayout& layout = layouts[static_cast<std::size_t>(f)];
    if (fp.missing) {
      // The station file is not absent but empty, which no library opens.
      if (f == kStationFile) {
        std::ofstream empty(station_path, std::ios::trunc);
        empty.close();
        if (!empty) throw std::runtime_error("cannot create the empty file " + station_path);
      }
      continue;
    }
    if (fp.coords) {
      const std::vector<NcDim> dims = layout.dims;
      for (const NcDim& d : dims) {
        if (has_var(layout, d.name) || d.len > 1000000) continue;
        std::vector<double> vals(d.len);
        for (std::size_t i = 0; i < d.len; ++i) vals[i] = static_cast<double>(i + 1);
        if (fp.hostile_coord && d.name == fp.station_dim) {
          if (fp.format == NcFormat::NetCDF4 || d.len > 0) {
            // Text in place of the station numbers, or a 2-D variable of that name.
            if (d.len % 2 == 0) {
              layout.var(d.name, NC_CHAR, {d.name}).text = text_of(c.seed, d.len);
            } else {
              const std::string other = dim_for(layout, "extra", 2, 2, false);
              std::vector<double> v2(2 * d.len, -1.0);
              layout.var(d.name, NC_DOUBLE, {other, d.name}, v2);
            }
          }
          continue;
        }
        layout.coord(d.name, std::move(vals));
      }
    }
    // netCDF-3 holds one unlimited dimension, declared first by every
    // variable that uses it; otherwise every dimension stays fixed.  (So
    // does netCDF-4 here: more unlimited dimensions make tiny chunks and
    // slow files, nothing else.)
    {
      std::vector<std::string> unlimited;
      for (const NcDim& d : layout.dims)
        if (d.unlimited) unlimited.push_back(d.name);
      bool fine = unlimited.size() <= 1;
      for (const NcVar& v : layout.vars)
        for (std::size_t i = 1; fine && i < v.dims.size(); ++i)
          if (!unlimited.empty() && v.dims[i] == unlimited[0]) fine = false;
      if (!fine)
        for (NcDim& d : layout.dims) d.unlimited = false;
    }
    layout.global_attrs.push_back({"title", "drought-export hostile input, seed " + std::to_string(c.seed)});
    const std::string path = file_path(f, dir, station_path);
    write_nc(path, layout);
    if (fp.cut >= 0) {
      const auto size = std::filesystem::file_size(path);
      const auto keep = static_cast<std::uintmax_t>(fp.cut * static_cast<double>(size));
      std::filesystem::resize_file(path, std::min<std::uintmax_t>(keep, size - 1));
    }
  }
}

}  // namespace dxtest::hostile
