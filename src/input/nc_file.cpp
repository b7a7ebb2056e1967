#include "input/nc_file.hpp"

#include <netcdf.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/text.hpp"
#include "input/memory.hpp"
#include "input/nc3_check.hpp"

namespace dx {
namespace {

// Read-buffer size asked of the netCDF library for classic files.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// Address space the library needs free when a file is opened (it sets
// itself up then, and does not survive a failed allocation).
constexpr std::uint64_t kLibraryRoom = std::uint64_t{16} << 20;
// Reads needing less than this are not checked against the memory the run
// can still obtain: the check reads several system files (about a quarter
// of a millisecond), which would be a large part of a small network's run,
// and a run that cannot obtain another mebibyte cannot go on anyway.
constexpr std::uint64_t kMemoryCheckFrom = std::uint64_t{1} << 20;

// The kind and name of a type that is not numeric: "char", "string", or a
// user-defined type such as "compound \"obs_t\"".
std::string type_name(int ncid, nc_type t) {
  switch (t) {
    case NC_CHAR: return "char";
    case NC_STRING: return "string";
    default: break;
  }
  char name[NC_MAX_NAME + 1] = {};
  int kind = 0;
  if (nc_inq_user_type(ncid, t, name, nullptr, nullptr, nullptr, &kind) != NC_NOERR)
    return "unknown (" + std::to_string(t) + ")";
  const char* what = "user-defined";
  switch (kind) {
    case NC_VLEN: what = "variable-length"; break;
    case NC_OPAQUE: what = "opaque"; break;
    case NC_ENUM: what = "enum"; break;
    case NC_COMPOUND: what = "compound"; break;
    default: break;
  }
  return std::string(what) + " \"" + name + "\"";
}

// The value that the library gives the unwritten parts of a variable of
// type `t` that has no _FillValue of its own.
double default_fill(nc_type t) {
  switch (t) {
    case NC_BYTE: return NC_FILL_BYTE;
    case NC_UBYTE: return NC_FILL_UBYTE;
    case NC_SHORT: return NC_FILL_SHORT;
    case NC_USHORT: return NC_FILL_USHORT;
    case NC_INT: return NC_FILL_INT;
    case NC_UINT: return NC_FILL_UINT;
    case NC_INT64: return static_cast<double>(NC_FILL_INT64);
    case NC_UINT64: return static_cast<double>(NC_FILL_UINT64);
    case NC_FLOAT: return NC_FILL_FLOAT;
    default: return NC_FILL_DOUBLE;
  }
}

// How many of the n values read equal `flag` as a float (NaN: are NaN).
std::size_t count_flagged(const float* values, std::size_t n, double flag) {
  if (std::isnan(flag))
    return static_cast<std::size_t>(std::count_if(values, values + n, [](float v) { return v != v; }));
  const float f = static_cast<float>(flag);
  return static_cast<std::size_t>(std::count(values, values + n, f));
}

// "1 value equals", "3 values equal".
std::string values_equal(std::size_t k) { return std::to_string(k) + (k == 1 ? " value equals" : " values equal"); }

std::string number_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

bool numeric(nc_type t) {
  switch (t) {
    case NC_BYTE:
    case NC_UBYTE:
    case NC_SHORT:
    case NC_USHORT:
    case NC_INT:
    case NC_UINT:
    case NC_INT64:
    case NC_UINT64:
    case NC_FLOAT:
    case NC_DOUBLE: return true;
    default: return false;
  }
}

// The path handed to the library for the file named `path`.  The library
// drops leading blanks and control bytes of a path and takes a path of the
// form "scheme:..." for a remote address; a relative path led by "./" is
// taken as it stands, so the file it opens is the very file the user named.
std::string library_path(const std::string& path) { return path.starts_with('/') ? path : "./" + path; }

}  // namespace

std::string variable_context(std::string_view file, std::string_view var) {
  std::string s(file);
  s.append(": variable ").append(var);
  return s;
}

std::string not_regular_file(std::string_view file, std::string_view var) {
  std::string s(file);
  s.append(": not a regular file, while reading variable ").append(var);
  return s;
}

std::string cannot_open(std::string_view file, std::string_view var, std::string_view reason) {
  std::string s(file);
  s.append(": cannot open the file to read variable ").append(var).append(": ").append(reason);
  return s;
}

NcFile::NcFile(std::string_view path, std::string_view var, int& status, std::string_view name)
    : path_(path), name_(name.empty() ? path : name), var_(var) {
  // The library would wait forever on a pipe with no writer, and read a
  // device or a socket as it comes: only regular files are read.  A name
  // that cannot be looked up is left to the library, which says why.
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) throw Error(not_regular_file(name_, var_));
  // A large read-buffer hint: a classic file is then read in 1 MiB blocks
  // instead of a few kilobytes at a time (other formats ignore it).
  std::size_t chunk = kReadChunk;
  // The library and the HDF5 library under it set themselves up at the
  // first open and do not survive an allocation that fails meanwhile:
  // they are given the room, or not called.
  if (!address_space_room(kLibraryRoom))
    throw Error(cannot_open(name_, var_,
                            "not enough memory for the netCDF library (it needs about " +
                                std::to_string(kLibraryRoom >> 20) + " MB of address space; see ulimit -v)"));
  status = nc__open(library_path(path_).c_str(), NC_NOWRITE, &chunk, &id_);
  if (status != NC_NOERR) refuse_opening(status);
  open_ = true;
  // The library reads a netCDF-3 file cut short as zeros: refuse it.
  check_complete();
}

void NcFile::check_complete() const {
  try {
    check_nc3_complete(path_, name_);
  } catch (const Error& e) {
    throw Error(std::string(e.what()) + ", while reading variable " + var_);
  }
}

void NcFile::refuse_opening(int status) const {
  // A header cut short or overwritten is, to the library, an invalid
  // argument (classic formats) or an HDF5 error (netCDF-4): a classic
  // header is checked for what is wrong with it, and either is called
  // damaged rather than left as the library's bare reason.
  const bool damaged = status == NC_EINVAL || status == NC_EHDFERR || status == NC_ETRUNC;
  if (damaged) check_complete();
  throw Error(cannot_open(name_, var_, nc_strerror(status)) +
              (damaged ? " (the file looks damaged or incompletely copied)" : ""));
}

NcFile::~NcFile() {
  // Only reached open on unwind: the failure being reported is the one
  // that matters, a further close failure would add nothing.
  if (open_) static_cast<void>(nc_close(id_));
}

void NcFile::fail(std::string_view what) const { throw Error(context().append(what)); }

void NcFile::check(int call_status, const char* what, int& status) const {
  status = call_status;
  if (status != NC_NOERR) fail(std::string(": ") + what + ": " + nc_strerror(status));
}

int NcFile::requested_variable(int rank, int* dimids, int& status) {
  int varid = -1;
  check(nc_inq_varid(id_, var_.c_str(), &varid), "cannot find it in the file", status);
  nc_type type = NC_NAT;
  check(nc_inq_vartype(id_, varid, &type), "cannot inquire its type", status);
  if (!numeric(type)) fail(" is of type " + type_name(id_, type) + ", not numeric");
  int ndims = -1;
  check(nc_inq_varndims(id_, varid, &ndims), "cannot inquire its dimensions", status);
  if (ndims != rank) {
    fail(" has " + std::to_string(ndims) + (ndims == 1 ? " dimension" : " dimensions") + ", expected " +
         std::to_string(rank));
  }
  check(nc_inq_vardimid(id_, varid, dimids), "cannot inquire its dimensions", status);
  return varid;
}

NcFile::Dim NcFile::dimension(int dimid, int& status) {
  char name[NC_MAX_NAME + 1] = {};
  std::size_t len = 0;
  check(nc_inq_dim(id_, dimid, name, &len), "cannot inquire its dimensions", status);
  if (len > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    fail(": dimension " + std::string(name) + " has length " + std::to_string(len) + ", more than this tool handles (" +
         std::to_string(std::numeric_limits<std::int32_t>::max()) + ")");
  }
  return Dim{dimid, pad_to(name, kDimNameLen), static_cast<std::int32_t>(len)};
}

void NcFile::reserve(std::uint64_t elements, std::uint64_t coord_elements,
                     const std::function<void()>& allocate) const {
  const std::uint64_t bytes = elements * sizeof(float);
  const std::uint64_t need = bytes + coord_elements * sizeof(float);
  const std::optional<Shortfall> s = reserve_memory(bytes, need < kMemoryCheckFrom ? 0 : need, allocate);
  if (!s) return;
  const std::string values = std::to_string(elements) + " values";
  switch (s->kind) {
    case Shortfall::Kind::Machine:
      fail(" needs " + std::to_string(bytes) + " bytes for its " + values + ", " + s->text());
    case Shortfall::Kind::Obtainable:
      fail(" needs " + std::to_string(need) + " bytes for its " + values + " and their coordinates, " + s->text());
    case Shortfall::Kind::Allocation: break;
  }
  fail(": not enough memory for its " + values);
}

bool NcFile::read_coordinate(const Dim& dim, Array1& coord, int& status) {
  int cid = -1;
  status = nc_inq_varid(id_, std::string(trim_right(dim.name)).c_str(), &cid);
  if (status != NC_NOERR) return false;
  nc_type type = NC_NAT;
  int ndims = -1;
  status = nc_inq_var(id_, cid, nullptr, &type, &ndims, nullptr, nullptr);
  if (status != NC_NOERR || !numeric(type) || ndims != 1) return false;
  int cdim = -1;
  status = nc_inq_vardimid(id_, cid, &cdim);
  if (status != NC_NOERR) return false;
  std::size_t clen = 0;
  status = nc_inq_dimlen(id_, cdim, &clen);
  if (status != NC_NOERR || clen != coord.size()) return false;
  float none = 0.0f;
  status = nc_get_var_float(id_, cid, coord.size() ? coord.data() : &none);
  if (status == NC_NOERR || status == NC_ERANGE) return true;
  std::fill_n(coord.data(), coord.size(), 0.0f);
  return false;
}

std::string NcFile::units(int varid, int& status) {
  static constexpr const char* kUnits = "units";
  nc_type type = NC_NAT;
  std::size_t len = 0;
  status = nc_inq_att(id_, varid, kUnits, &type, &len);
  if (status == NC_ENOTATT) return {};
  check(status, "cannot inquire its units", status);
  std::string text;
  if (type == NC_CHAR && len > 0) {
    text.resize(len);
    check(nc_get_att_text(id_, varid, kUnits, text.data()), "cannot read its units", status);
  } else if (type == NC_STRING && len == 1) {
    char* value = nullptr;
    const int got = nc_get_att_string(id_, varid, kUnits, &value);
    if (got == NC_NOERR && value != nullptr) text = value;
    // Freed before a failure is reported: the library allocated it.
    const int freed = got == NC_NOERR ? nc_free_string(1, &value) : NC_NOERR;
    check(got, "cannot read its units", status);
    check(freed, "cannot read its units", status);
  }
  // Fixed-length writers pad the text with blanks, C writers end it with a NUL.
  text.erase(text.find_last_not_of(std::string_view(" \0", 2)) + 1);
  return text;
}

void NcFile::read_values(int varid, float* dst, std::size_t n, int& status) {
  float none = 0.0f;
  status = nc_get_var_float(id_, varid, n ? dst : &none);
  if (status == NC_ERANGE) {
    warn(context() +
         ": some values lie outside the range of a 32-bit float and are read as the "
         "netCDF library converts them (" +
         nc_strerror(status) + ")");
  } else {
    check(status, "cannot read its values", status);
  }
  warn_of_flags(varid, dst, n);
}

void NcFile::warn_of_flags(int varid, const float* values, std::size_t n) {
  int att = -1;
  if (nc_inq_attid(id_, varid, "scale_factor", &att) == NC_NOERR ||
      nc_inq_attid(id_, varid, "add_offset", &att) == NC_NOERR) {
    warn(context() + " has scale_factor/add_offset attributes; values are published as stored, not unpacked");
  }
  bool own_fill = false;
  for (const char* name : {"_FillValue", "missing_value"}) {
    nc_type type = NC_NAT;
    std::size_t len = 0;
    if (nc_inq_att(id_, varid, name, &type, &len) != NC_NOERR || !numeric(type) || len == 0) continue;
    own_fill = own_fill || std::string_view(name) == "_FillValue";
    std::vector<double> flags(len);
    if (nc_get_att_double(id_, varid, name, flags.data()) != NC_NOERR) continue;
    for (const double flag : flags) {
      if (const std::size_t k = count_flagged(values, n, flag); k > 0)
        warn(context() + ": " + values_equal(k) + " its " + name + " (" + number_text(flag) +
             "); they are published as stored, not as missing");
    }
  }
  if (own_fill || !has_unlimited_dimension(varid)) return;
  // Without a _FillValue of its own, records of an unlimited dimension that
  // were never written read as the default fill of the variable's type.
  int no_fill = 0;
  nc_type type = NC_NAT;
  if (nc_inq_var_fill(id_, varid, &no_fill, nullptr) != NC_NOERR || no_fill ||
      nc_inq_vartype(id_, varid, &type) != NC_NOERR)
    return;
  const double flag = default_fill(type);
  if (const std::size_t k = count_flagged(values, n, flag); k > 0)
    warn(context() + ": " + values_equal(k) + " the netCDF default fill value (" + number_text(flag) +
         ") of data never written; they are published as stored, not as missing");
}

bool NcFile::has_unlimited_dimension(int varid) const {
  int ndims = 0, nunlim = 0;
  int dims[NC_MAX_VAR_DIMS];
  int unlim[NC_MAX_DIMS];
  if (nc_inq_varndims(id_, varid, &ndims) != NC_NOERR || ndims > NC_MAX_VAR_DIMS ||
      nc_inq_vardimid(id_, varid, dims) != NC_NOERR || nc_inq_unlimdims(id_, &nunlim, nullptr) != NC_NOERR ||
      nunlim > NC_MAX_DIMS || nc_inq_unlimdims(id_, &nunlim, unlim) != NC_NOERR)
    return false;
  for (int d = 0; d < ndims; ++d)
    if (std::find(unlim, unlim + nunlim, dims[d]) != unlim + nunlim) return true;
  return false;
}

void NcFile::close(int& status) {
  open_ = false;
  status = nc_close(id_);
  if (status != NC_NOERR) {
    throw Error(name_ + ": cannot close the file after reading variable " + var_ + ": " + nc_strerror(status));
  }
}

std::unique_ptr<NcFile> NcOpenings::take_kept(std::string_view file, std::string_view var) {
  if (kept_ && kept_->path() == file) {
    kept_->reuse_for(var);
    return std::move(kept_);
  }
  close_kept();
  return nullptr;
}

std::unique_ptr<NcFile> NcOpenings::open(std::string_view file, std::string_view var, int& status) const {
  const auto named = std::find_if(names_.begin(), names_.end(), [file](const auto& n) { return n.first == file; });
  return std::make_unique<NcFile>(file, var, status,
                                  named != names_.end() ? std::string_view(named->second) : std::string_view());
}

void NcOpenings::close_kept() {
  if (!kept_) return;
  const std::unique_ptr<NcFile> kept = std::move(kept_);
  kept->close(status_);
}

void NcOpenings::done_with(std::unique_ptr<NcFile> f, int& status) {
  if (keep_open_) {
    kept_ = std::move(f);
  } else {
    f->close(status);
  }
}

}  // namespace dx
