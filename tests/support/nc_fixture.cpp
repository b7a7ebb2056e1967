#include "support/nc_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "input/result_files.hpp"

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

const char* type_name(nc_type t) {
  switch (t) {
    case NC_BYTE: return "byte";
    case NC_UBYTE: return "ubyte";
    case NC_CHAR: return "char";
    case NC_SHORT: return "short";
    case NC_USHORT: return "ushort";
    case NC_INT: return "int";
    case NC_UINT: return "uint";
    case NC_INT64: return "int64";
    case NC_UINT64: return "uint64";
    case NC_FLOAT: return "float";
    case NC_DOUBLE: return "double";
    case NC_STRING: return "string";
    default: return "other";
  }
}

NcLayout& NcLayout::dim(std::string name, std::size_t len, bool unlimited) {
  dims.push_back(NcDim{std::move(name), len, unlimited});
  return *this;
}

NcVar& NcLayout::var(std::string name, nc_type type, std::vector<std::string> var_dims, std::vector<double> values) {
  NcVar v;
  v.name = std::move(name);
  v.type = type;
  v.dims = std::move(var_dims);
  v.values = std::move(values);
  vars.push_back(std::move(v));
  return vars.back();
}

NcLayout& NcLayout::coord(const std::string& d, std::vector<double> values) {
  var(d, NC_DOUBLE, {d}, std::move(values));
  return *this;
}

NcVar& NcLayout::find(std::string_view name) {
  for (NcVar& v : vars)
    if (v.name == name) return v;
  throw std::runtime_error("fixture has no variable " + std::string(name));
}

void NcLayout::remove(std::string_view name) {
  const auto it = std::find_if(vars.begin(), vars.end(), [&](const NcVar& v) { return v.name == name; });
  if (it == vars.end()) throw std::runtime_error("fixture has no variable " + std::string(name));
  vars.erase(it);
}

void write_nc(const std::string& path, const NcLayout& layout) {
  Writer w(path);
  w.create(layout.format);
  std::vector<int> dimids;
  for (const NcDim& d : layout.dims) {
    int id = -1;
    w.check(nc_def_dim(w.id(), d.name.c_str(), d.unlimited ? NC_UNLIMITED : d.len, &id), "define dimension " + d.name);
    dimids.push_back(id);
  }
  auto dim_index = [&](const std::string& name) {
    for (std::size_t i = 0; i < layout.dims.size(); ++i)
      if (layout.dims[i].name == name) return i;
    throw std::runtime_error(path + ": fixture names an undefined dimension " + name);
  };

  const auto put_text = [&w](int varid, const std::string& name, const std::string& value) {
    w.check(nc_put_att_text(w.id(), varid, name.c_str(), value.size(), value.data()), "put attribute " + name);
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
    for (const auto& [name, value] : v.text_attrs) put_text(id, name, value);
    for (const auto& [name, value] : v.string_attrs) {
      const char* text = value.c_str();
      w.check(nc_put_att_string(w.id(), id, name.c_str(), 1, &text), "put attribute " + name);
    }
    varids.push_back(id);
    counts.push_back(std::move(count));
  }
  for (const auto& [name, value] : layout.global_attrs) put_text(NC_GLOBAL, name, value);
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
        throw std::runtime_error(path + ": variable " + v.name + " has " + std::to_string(n) + " elements but " +
                                 std::to_string(given) + " values were given");
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

// The column dimension of each 2-D result file, in file order, and the
// option that gives its column count.
struct Columns {
  const char* dim;
  std::size_t ResultSetOptions::*count;
};
const Columns kColumns[] = {{"class", &ResultSetOptions::drm_cols},
                            {"index", &ResultSetOptions::idx_cols},
                            {"class", &ResultSetOptions::class_cols},
                            {"class", &ResultSetOptions::class_cols},
                            {"period", &ResultSetOptions::periods}};

// The key of a read for result_value(): the pair variables of the p-value
// file are told apart from those of the correlation file.
std::string value_key(const dx::InputVar& r) {
  return dx::kInputFileNames[static_cast<std::size_t>(r.file)] == dx::kProbTqFile ? "p:" + r.var : r.var;
}

std::vector<double> numbered(std::size_t n) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i + 1);
  return v;
}

}  // namespace

const std::vector<std::string> kPeriodVarNames = [] {
  std::vector<std::string> names;
  for (std::size_t k = 0; k < dx::kClasses; ++k)
    for (const char* kind : {"Fre_", "Mag_"}) names.push_back(dx::period_var(kind, k));
  return names;
}();
const std::vector<std::string> kPairVarNames(dx::kPairName.begin(), dx::kPairName.end());

// The position of the read in the catalogue gives each variable its code.
double result_value(std::string_view var, std::size_t station, std::size_t column) {
  const auto& reads = dx::input_reads();
  for (std::size_t i = 0; i < reads.size(); ++i) {
    if (value_key(reads[i]) == var) {
      return static_cast<double>((i + 1) * 100000 + column * 1000 + station % 1000);
    }
  }
  return 0.0;
}

std::vector<NcFixtureFile> result_set(const std::string& dir, const std::string& station_path,
                                      const ResultSetOptions& opt) {
  const std::size_t ns = opt.stations;
  std::vector<NcFixtureFile> files;
  for (int f = 0; f < dx::kInputFiles; ++f) {
    NcLayout layout;
    layout.format = opt.format;
    std::vector<std::string> dims = {"stn"};
    std::size_t ncol = 1;
    if (f < static_cast<int>(std::size(kColumns))) {
      const Columns& c = kColumns[f];
      ncol = opt.*c.count;
      dims.insert(dims.begin(), c.dim);
      layout.dim(c.dim, ncol).dim("stn", ns).coord("stn", numbered(ns)).coord(c.dim, numbered(ncol));
      layout.global_attrs.push_back({"title", "drought-export test data"});
    } else {
      layout.dim("stn", ns);
      if (f != dx::kStationInput) layout.coord("stn", numbered(ns));
    }
    // (column, station) declared; values in the reader's order (station fastest).
    for (const dx::InputVar& r : dx::input_reads()) {
      if (r.file != f) continue;
      std::vector<double> v(ns * ncol);
      for (std::size_t c = 0; c < ncol; ++c)
        for (std::size_t s = 0; s < ns; ++s) v[c * ns + s] = result_value(value_key(r), s, c);
      layout.var(r.var, f == dx::kStationInput ? NC_FLOAT : opt.type, dims, std::move(v));
    }
    const std::string path = f == dx::kStationInput
                                 ? station_path
                                 : dir + "/" + std::string(dx::kInputFileNames[static_cast<std::size_t>(f)]);
    files.push_back({path, std::move(layout)});
  }
  return files;
}

void write_all(const std::vector<NcFixtureFile>& files) {
  for (const NcFixtureFile& f : files) write_nc(f.path, f.layout);
}

NcFixtureFile& file_of(std::vector<NcFixtureFile>& files, std::string_view name) {
  for (NcFixtureFile& f : files)
    if (f.path.size() >= name.size() && f.path.compare(f.path.size() - name.size(), name.size(), name) == 0) return f;
  throw std::runtime_error("result set has no file " + std::string(name));
}

NcRead read_var(const std::string& path, const std::string& name) {
  NcRead v;
  int ncid = -1, varid = -1, ndims = 0;
  int st = nc_open(path.c_str(), NC_NOWRITE, &ncid);
  if (st != NC_NOERR) {
    ADD_FAILURE() << path << ": " << nc_strerror(st);
    return v;
  }
  st = nc_inq_varid(ncid, name.c_str(), &varid);
  if (st == NC_NOERR) st = nc_inq_varndims(ncid, varid, &ndims);
  std::vector<int> dimids(static_cast<std::size_t>(ndims));
  if (st == NC_NOERR && ndims > 0) st = nc_inq_vardimid(ncid, varid, dimids.data());
  std::size_t total = 1;
  for (int d = 0; st == NC_NOERR && d < ndims; ++d) {
    char dname[NC_MAX_NAME + 1] = {};
    std::size_t len = 0;
    st = nc_inq_dim(ncid, dimids[static_cast<std::size_t>(d)], dname, &len);
    v.dims.push_back(dname);
    v.lens.push_back(len);
    total *= len;
  }
  if (st == NC_NOERR) {
    v.values.resize(total);
    if (total > 0) st = nc_get_var_float(ncid, varid, v.values.data());
    if (st == NC_ERANGE) st = NC_NOERR;  // values beyond a float, converted
  }
  const int cst = nc_close(ncid);
  if (st != NC_NOERR || cst != NC_NOERR) {
    ADD_FAILURE() << path << ", variable " << name << ": " << nc_strerror(st != NC_NOERR ? st : cst);
    return v;
  }
  v.ok = true;
  return v;
}

}  // namespace dxtest
