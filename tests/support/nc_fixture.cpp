#include "support/nc_fixture.hpp"

#include <algorithm>
#include <stdexcept>

namespace dxtest {
namespace {

class Writer {
 public:
  explicit Writer(const std::string& path) : path_(path) {}
  ~Writer() {
    if (open_) static_cast<void>(nc_close(id_));  // only after a failure already thrown
  }
  void check(int status, const std::string& what) const {
    if (status != NC_NOERR) {
      throw std::runtime_error(path_ + ": " + what + ": " + nc_strerror(status));
    }
  }
  void create(NcFormat format) {
    int mode = NC_CLOBBER;
    if (format == NcFormat::Offset64) mode |= NC_64BIT_OFFSET;
    if (format == NcFormat::NetCDF4) mode |= NC_NETCDF4;
    check(nc_create(path_.c_str(), mode, &id_), "create");
    open_ = true;
  }
  void close() {
    open_ = false;
    check(nc_close(id_), "close");
  }
  int id() const { return id_; }

 private:
  std::string path_;
  int id_ = -1;
  bool open_ = false;
};

std::size_t product(const std::vector<std::size_t>& v) {
  std::size_t n = 1;
  for (std::size_t e : v) n *= e;
  return n;
}

}  // namespace

const char* format_name(NcFormat f) {
  switch (f) {
    case NcFormat::Classic: return "classic";
    case NcFormat::Offset64: return "offset64";
    case NcFormat::NetCDF4: return "netcdf4";
  }
  return "?";
}

NcFileSpec& NcFileSpec::dim(std::string name, std::size_t len, bool unlimited) {
  dims.push_back(NcDim{std::move(name), len, unlimited});
  return *this;
}

NcVar& NcFileSpec::var(std::string name, nc_type type, std::vector<std::string> var_dims,
                       std::vector<double> values) {
  NcVar v;
  v.name = std::move(name);
  v.type = type;
  v.dims = std::move(var_dims);
  v.values = std::move(values);
  vars.push_back(std::move(v));
  return vars.back();
}

NcFileSpec& NcFileSpec::coord(const std::string& d, std::vector<double> values) {
  var(d, NC_DOUBLE, {d}, std::move(values));
  return *this;
}

NcVar& NcFileSpec::find(std::string_view name) {
  for (NcVar& v : vars)
    if (v.name == name) return v;
  throw std::runtime_error("fixture has no variable " + std::string(name));
}

void NcFileSpec::remove(std::string_view name) {
  const auto it = std::find_if(vars.begin(), vars.end(), [&](const NcVar& v) { return v.name == name; });
  if (it == vars.end()) throw std::runtime_error("fixture has no variable " + std::string(name));
  vars.erase(it);
}

void write_nc(const std::string& path, const NcFileSpec& layout) {
  Writer w(path);
  w.create(layout.format);
  std::vector<int> dimids;
  for (const NcDim& d : layout.dims) {
    int id = -1;
    w.check(nc_def_dim(w.id(), d.name.c_str(), d.unlimited ? NC_UNLIMITED : d.len, &id),
            "define dimension " + d.name);
    dimids.push_back(id);
  }
  auto dim_index = [&](const std::string& name) {
    for (std::size_t i = 0; i < layout.dims.size(); ++i)
      if (layout.dims[i].name == name) return i;
    throw std::runtime_error(path + ": fixture names an undefined dimension " + name);
  };

  std::vector<int> varids;
  std::vector<std::vector<std::size_t>> counts;
  for (const NcVar& v : layout.vars) {
    std::vector<int> ids;
    std::vector<std::size_t> count;
    for (const std::string& d : v.dims) {
      const std::size_t i = dim_index(d);
      ids.push_back(dimids[i]);
      count.push_back(layout.dims[i].len);
    }
    int id = -1;
    w.check(nc_def_var(w.id(), v.name.c_str(), v.type, static_cast<int>(ids.size()), ids.data(), &id),
            "define variable " + v.name);
    for (const auto& [name, value] : v.attrs)
      w.check(nc_put_att_double(w.id(), id, name.c_str(), v.type, 1, &value), "put attribute " + name);
    varids.push_back(id);
    counts.push_back(std::move(count));
  }
  for (const auto& [name, value] : layout.global_attrs) {
    w.check(nc_put_att_text(w.id(), NC_GLOBAL, name.c_str(), value.size(), value.data()),
            "put attribute " + name);
  }
  w.check(nc_enddef(w.id()), "end of definitions");

  for (std::size_t k = 0; k < layout.vars.size(); ++k) {
    const NcVar& v = layout.vars[k];
    const std::vector<std::size_t>& count = counts[k];
    const std::vector<std::size_t> start(count.size(), 0);
    const std::size_t n = product(count);
    const std::string what = "write variable " + v.name;
    if (!v.values.empty() || !v.fvalues.empty()) {
      const std::size_t given = v.values.empty() ? v.fvalues.size() : v.values.size();
      if (given != n) {
        throw std::runtime_error(path + ": variable " + v.name + " has " + std::to_string(n) +
                                 " elements but " + std::to_string(given) + " values were given");
      }
      if (n == 0) continue;
      if (!v.values.empty()) {
        w.check(nc_put_vara_double(w.id(), varids[k], start.data(), count.data(), v.values.data()), what);
      } else {
        w.check(nc_put_vara_float(w.id(), varids[k], start.data(), count.data(), v.fvalues.data()), what);
      }
    } else if (v.type == NC_CHAR && !v.text.empty() && n > 0) {
      std::string text = v.text;
      text.resize(n, '\0');
      w.check(nc_put_vara_text(w.id(), varids[k], start.data(), count.data(), text.data()), what);
    } else if (v.type == NC_STRING && !v.strings.empty() && n > 0) {
      if (v.strings.size() != n) throw std::runtime_error(path + ": variable " + v.name + ": wrong string count");
      std::vector<const char*> ptrs;
      for (const std::string& s : v.strings) ptrs.push_back(s.c_str());
      w.check(nc_put_vara_string(w.id(), varids[k], start.data(), count.data(), ptrs.data()), what);
    }
  }
  w.close();
}

// ---- The result files of one analysis ----------------------------------

namespace {

std::vector<std::string> period_names() {
  std::vector<std::string> names;
  for (const char* cls : {"mod", "sev", "ext"})
    for (const char* idx : {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"})
      for (const char* kind : {"Fre_", "Mag_"}) names.push_back(std::string(kind) + idx + "_" + cls);
  return names;
}

// Every (file, variable) of the set, in one list: the position gives each
// a distinct code.
struct Entry {
  std::string file;
  std::string var;
};
const std::vector<Entry>& entries() {
  static const std::vector<Entry> list = [] {
    std::vector<Entry> e = {{"Num_Drou_Mon_Stn.nc", "N_Drou_mon"},   {"Sen_Prob_idx_Stn.nc", "SenSL"},
                            {"Sen_Prob_idx_Stn.nc", "Prob"},         {"Spell_Time_Arr_Stn.nc", "Spell_Ave"},
                            {"Spell_Time_Arr_Stn.nc", "Spell_Max"},  {"Spell_Time_Arr_Stn.nc", "Time_Arr_Ave"},
                            {"Spell_Time_Arr_Stn.nc", "Time_Arr_Max"}, {"Fre_Mag_Stn_all_period.nc", "Freq"},
                            {"Fre_Mag_Stn_all_period.nc", "Mag"}};
    for (const std::string& v : period_names()) e.push_back({"Fre_Mag_Stn.nc", v});
    for (const std::string& v : kPairVarNames) e.push_back({"Tq_pdsi_spi_Stn.nc", v});
    for (const std::string& v : kPairVarNames) e.push_back({"Prob_Tq_pdsi_spi_Stn.nc", "p:" + v});
    for (const char* v : {"lon", "lat", "reg"}) e.push_back({"station", v});
    return e;
  }();
  return list;
}

}  // namespace

const std::vector<std::string> kPeriodVarNames = period_names();
const std::vector<std::string> kPairVarNames = {
    "pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
    "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
    "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

double result_value(std::string_view var, std::size_t station, std::size_t column) {
  const auto& e = entries();
  for (std::size_t i = 0; i < e.size(); ++i) {
    if (e[i].var == var) {
      return static_cast<double>((i + 1) * 100000 + column * 1000 + station % 1000);
    }
  }
  return 0.0;
}

std::vector<NcFixtureFile> result_set(const std::string& dir, const std::string& station_path,
                                      const ResultSetOptions& opt) {
  const std::size_t ns = opt.stations;
  auto station_coord = [&] {
    std::vector<double> v(ns);
    for (std::size_t s = 0; s < ns; ++s) v[s] = static_cast<double>(s + 1);
    return v;
  };
  auto column_coord = [](std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t c = 0; c < n; ++c) v[c] = static_cast<double>(c + 1);
    return v;
  };
  // (column, station) declared; values in the reader's order (station fastest).
  auto values_2d = [&](const std::string& key, std::size_t ncol) {
    std::vector<double> v(ns * ncol);
    for (std::size_t c = 0; c < ncol; ++c)
      for (std::size_t s = 0; s < ns; ++s) v[c * ns + s] = result_value(key, s, c);
    return v;
  };
  auto values_1d = [&](const std::string& key) {
    std::vector<double> v(ns);
    for (std::size_t s = 0; s < ns; ++s) v[s] = result_value(key, s, 0);
    return v;
  };
  auto base = [&](const char* coldim, std::size_t ncol) {
    NcFileSpec f;
    f.format = opt.format;
    f.dim(coldim, ncol).dim("stn", ns).coord("stn", station_coord()).coord(coldim, column_coord(ncol));
    f.global_attrs.push_back({"title", "drought-export test data"});
    return f;
  };

  std::vector<NcFixtureFile> files;
  {
    NcFileSpec f = base("class", opt.drm_cols);
    f.var("N_Drou_mon", opt.type, {"class", "stn"}, values_2d("N_Drou_mon", opt.drm_cols));
    files.push_back({dir + "/Num_Drou_Mon_Stn.nc", std::move(f)});
  }
  {
    NcFileSpec f = base("index", opt.idx_cols);
    for (const char* v : {"SenSL", "Prob"}) f.var(v, opt.type, {"index", "stn"}, values_2d(v, opt.idx_cols));
    files.push_back({dir + "/Sen_Prob_idx_Stn.nc", std::move(f)});
  }
  {
    NcFileSpec f = base("class", opt.class_cols);
    for (const char* v : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max"})
      f.var(v, opt.type, {"class", "stn"}, values_2d(v, opt.class_cols));
    files.push_back({dir + "/Spell_Time_Arr_Stn.nc", std::move(f)});
  }
  {
    NcFileSpec f = base("class", opt.class_cols);
    for (const char* v : {"Freq", "Mag"}) f.var(v, opt.type, {"class", "stn"}, values_2d(v, opt.class_cols));
    files.push_back({dir + "/Fre_Mag_Stn_all_period.nc", std::move(f)});
  }
  {
    NcFileSpec f = base("period", opt.periods);
    for (const std::string& v : kPeriodVarNames) f.var(v, opt.type, {"period", "stn"}, values_2d(v, opt.periods));
    files.push_back({dir + "/Fre_Mag_Stn.nc", std::move(f)});
  }
  for (const char* name : {"Tq_pdsi_spi_Stn.nc", "Prob_Tq_pdsi_spi_Stn.nc"}) {
    const std::string prefix = std::string(name) == "Tq_pdsi_spi_Stn.nc" ? "" : "p:";
    NcFileSpec f;
    f.format = opt.format;
    f.dim("stn", ns).coord("stn", station_coord());
    for (const std::string& v : kPairVarNames) f.var(v, opt.type, {"stn"}, values_1d(prefix + v));
    files.push_back({dir + "/" + name, std::move(f)});
  }
  {
    NcFileSpec f;
    f.format = opt.format;
    f.dim("stn", ns);
    for (const char* v : {"lon", "lat", "reg"}) f.var(v, NC_FLOAT, {"stn"}, values_1d(v));
    files.push_back({station_path, std::move(f)});
  }
  return files;
}

void write_all(const std::vector<NcFixtureFile>& files) {
  for (const NcFixtureFile& f : files) write_nc(f.path, f.layout);
}

NcFixtureFile& file_of(std::vector<NcFixtureFile>& files, std::string_view name) {
  for (NcFixtureFile& f : files)
    if (f.path.size() >= name.size() && f.path.compare(f.path.size() - name.size(), name.size(), name) == 0)
      return f;
  throw std::runtime_error("result set has no file " + std::string(name));
}

}  // namespace dxtest
