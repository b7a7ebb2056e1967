#include "input/nc_reader.hpp"

#include "input/memory_limit.hpp"
#include "input/nc3_check.hpp"

#include <netcdf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "output/console.hpp"
#include "output/format.hpp"

namespace dx {
namespace {

// Width of the dimension-name fields of the progress lines.
constexpr std::size_t DIM_NAME_LEN = 15;
// Read-buffer size asked of the netCDF library for classic files.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// Reads needing less than this are not checked against the memory the run
// can still obtain: the check reads several system files (about a quarter
// of a millisecond), which would be a large part of a small network's run,
// and a run that cannot obtain another mebibyte cannot go on anyway.
constexpr std::uint64_t kMemoryCheckFrom = std::uint64_t{1} << 20;

std::string type_name(nc_type t) {
  switch (t) {
    case NC_CHAR: return "char";
    case NC_STRING: return "string";
    case NC_VLEN: return "variable-length";
    case NC_OPAQUE: return "opaque";
    case NC_ENUM: return "enum";
    case NC_COMPOUND: return "compound";
    default: return "user-defined (" + std::to_string(t) + ")";
  }
}

bool numeric(nc_type t) {
  switch (t) {
    case NC_BYTE: case NC_UBYTE: case NC_SHORT: case NC_USHORT: case NC_INT: case NC_UINT:
    case NC_INT64: case NC_UINT64: case NC_FLOAT: case NC_DOUBLE:
      return true;
    default:
      return false;
  }
}

// A warning on standard error that does not stop the run.  Standard output
// is flushed first so that the warning follows the progress lines it
// belongs to when both streams go to the same place.
void warn(const std::string& message) {
  console_flush();
  const std::string line = "drought-export: warning: " + message + "\n";
  errno = 0;
  if (std::fputs(line.c_str(), stderr) == EOF || std::fflush(stderr) != 0) {
    const int err = errno ? errno : EIO;
    std::clearerr(stderr);
    throw Error(std::string("cannot write to standard error: ") + std::strerror(err));
  }
}

// One netCDF file opened read-only to read one variable.  Every call that
// the requested data depends on is checked and turned into an Error naming
// the file, the variable and the library's reason; the status of each call
// goes to the caller's status variable.  The file id never leaks: it is
// closed (with its status checked) by close(), or on unwind by the
// destructor.
class NcFile {
 public:
  NcFile(std::string_view path, std::string_view var, int& status)
      : path_(path), var_(var), status_(&status) {
    // A large read-buffer hint: a classic file is then read in 1 MiB
    // blocks instead of a few kilobytes at a time (other formats ignore it).
    std::size_t chunk = kReadChunk;
    *status_ = nc__open(path_.c_str(), NC_NOWRITE, &chunk, &id_);
    if (*status_ != NC_NOERR) {
      throw Error(path_ + ": cannot open the file to read variable " + var_ + ": " +
                  nc_strerror(*status_));
    }
    open_ = true;
    // The library reads a netCDF-3 file cut short as zeros: refuse it.
    try {
      check_nc3_complete(path_);
    } catch (const Error& e) {
      throw Error(std::string(e.what()) + ", while reading variable " + var_);
    }
  }
  ~NcFile() {
    // Only reached open on unwind: the failure being reported is the one
    // that matters, a further close failure would add nothing.
    if (open_) static_cast<void>(nc_close(id_));
  }
  NcFile(const NcFile&) = delete;
  NcFile& operator=(const NcFile&) = delete;

  int id() const { return id_; }
  const std::string& path() const { return path_; }
  const std::string& var() const { return var_; }
  int& status() { return *status_; }
  // Takes the file, kept open from a read of another variable, for
  // reading `var`.
  void reuse_for(std::string_view var, int& status) {
    var_ = var;
    bind_status(status);
  }
  // Where the status of each later call goes.
  void bind_status(int& status) { status_ = &status; }

  // "<file>: variable <var>: <what>"
  [[noreturn]] void fail(const std::string& what) const {
    throw Error(path_ + ": variable " + var_ + ": " + what);
  }
  // "<file>: variable <var> <what>", for what the variable itself is or has.
  [[noreturn]] void refuse(const std::string& what) const {
    throw Error(path_ + ": variable " + var_ + " " + what);
  }
  // Stores the status of a call; a failure ends the read.
  void check(int status, const char* what) {
    *status_ = status;
    if (status != NC_NOERR) fail(std::string(what) + ": " + nc_strerror(status));
  }

  // Looks up the requested variable and checks that it is numeric and of
  // the reader's rank; returns its id and its dimension ids in declared
  // order (slowest first).
  int requested_variable(int rank, int* dimids) {
    int varid = -1;
    *status_ = nc_inq_varid(id_, var_.c_str(), &varid);
    if (*status_ != NC_NOERR) fail(std::string("cannot find it in the file: ") + nc_strerror(*status_));
    nc_type type = NC_NAT;
    check(nc_inq_vartype(id_, varid, &type), "cannot inquire its type");
    if (!numeric(type)) refuse("is of type " + type_name(type) + ", not numeric");
    int ndims = -1;
    check(nc_inq_varndims(id_, varid, &ndims), "cannot inquire its dimensions");
    if (ndims != rank) {
      refuse("has " + std::to_string(ndims) + (ndims == 1 ? " dimension" : " dimensions") +
           ", expected " + std::to_string(rank));
    }
    check(nc_inq_vardimid(id_, varid, dimids), "cannot inquire its dimensions");
    return varid;
  }

  // Name (cut or padded to the field width) and length of one dimension.
  struct Dim {
    int id;
    std::string name;  // DIM_NAME_LEN characters
    std::int32_t len;
  };
  Dim dimension(int dimid) {
    char name[NC_MAX_NAME + 1] = {};
    std::size_t len = 0;
    check(nc_inq_dim(id_, dimid, name, &len), "cannot inquire its dimensions");
    if (len > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      fail("dimension " + std::string(name) + " has length " + std::to_string(len) +
           ", more than this tool handles (" +
           std::to_string(std::numeric_limits<std::int32_t>::max()) + ")");
    }
    return Dim{dimid, pad_to(name, DIM_NAME_LEN), static_cast<std::int32_t>(len)};
  }

  // Refuses a variable that cannot fit the machine's memory, or, with the
  // coordinate arrays of its dimensions, the memory this run can still
  // obtain (a container's limit, other programs), before any allocation
  // is tried: memory promised beyond that ends the process with the
  // out-of-memory killer when it is filled, not with a failed allocation.
  void check_memory(std::uint64_t elements, std::uint64_t coord_elements) const {
    const std::uint64_t bytes = elements * sizeof(float);
    const std::uint64_t phys = physical_memory();
    if (phys != 0 && bytes > phys) {
      refuse("needs " + std::to_string(bytes) + " bytes for its " + std::to_string(elements) +
           " values, more than the machine's memory (" + std::to_string(phys) + " bytes)");
    }
    const std::uint64_t need = bytes + coord_elements * sizeof(float);
    if (need < kMemoryCheckFrom) return;
    const std::uint64_t can = obtainable_memory();
    if (can != 0 && need > can) {
      refuse("needs " + std::to_string(need) + " bytes for its " + std::to_string(elements) +
             " values and their coordinates, more than this run can obtain now (" + std::to_string(can) +
             " bytes)");
    }
  }

  // Fills `coord` (already allocated to the dimension's length and
  // zero-filled) from the coordinate variable named like the dimension.
  // Coordinates are never published, so a missing or unsuitable one is
  // skipped silently and leaves zeros.
  void read_coordinate(const Dim& dim, Array1& coord) {
    int cid = -1;
    *status_ = nc_inq_varid(id_, std::string(trim_right(dim.name)).c_str(), &cid);
    if (*status_ != NC_NOERR) return;
    nc_type type = NC_NAT;
    int ndims = -1;
    *status_ = nc_inq_var(id_, cid, nullptr, &type, &ndims, nullptr, nullptr);
    if (*status_ != NC_NOERR || !numeric(type) || ndims != 1) return;
    int cdim = -1;
    *status_ = nc_inq_vardimid(id_, cid, &cdim);
    if (*status_ != NC_NOERR) return;
    std::size_t clen = 0;
    *status_ = nc_inq_dimlen(id_, cdim, &clen);
    if (*status_ != NC_NOERR || clen != coord.size()) return;
    float none = 0.0f;
    *status_ = nc_get_var_float(id_, cid, coord.size() ? coord.data() : &none);
    if (*status_ != NC_NOERR && *status_ != NC_ERANGE) std::fill_n(coord.data(), coord.size(), 0.0f);
  }

  // Reads the whole requested variable into `dst` (sized by the caller to
  // the variable's lengths).  Values that a float cannot represent are
  // transferred as the library converts them, with a warning.
  void read_values(int varid, float* dst, std::size_t n) {
    float none = 0.0f;
    *status_ = nc_get_var_float(id_, varid, n ? dst : &none);
    if (*status_ == NC_ERANGE) {
      warn(path_ + ": variable " + var_ +
           ": some values lie outside the range of a 32-bit float and are read as the "
           "netCDF library converts them (" + nc_strerror(*status_) + ")");
    } else if (*status_ != NC_NOERR) {
      fail(std::string("cannot read its values: ") + nc_strerror(*status_));
    }
  }

  void close() {
    open_ = false;
    *status_ = nc_close(id_);
    if (*status_ != NC_NOERR) {
      throw Error(path_ + ": cannot close the file after reading variable " + var_ + ": " +
                  nc_strerror(*status_));
    }
  }

 private:
  std::string path_;
  std::string var_;
  int* status_;
  int id_ = -1;
  bool open_ = false;
};

template <typename Alloc>
void allocate_or_fail(const NcFile& f, std::uint64_t elements, std::uint64_t coord_elements, Alloc&& alloc) {
  f.check_memory(elements, coord_elements);
  try {
    alloc();
  } catch (const std::bad_alloc&) {
    f.fail("not enough memory for its " + std::to_string(elements) + " values");
  }
}

void start_line(std::string_view file) {
  console_line({Value::text("   Reading netCDF file: "), Value::text(file), Value::text("...")});
}
void dim_line(std::string_view label, const std::string& name, std::int32_t len) {
  console_line({Value::text(label), Value::text(name), Value::text("; length = "), Value::integer(len)});
}
void end_line(std::string_view file) {
  console_line({Value::text("   Completed reading file "), Value::text(file)});
}

constexpr std::string_view kFirstDim = "      - Longitude's name = ";
constexpr std::string_view kSecondDim = "      - Latitude's name  = ";

std::size_t count(std::int32_t len) { return static_cast<std::size_t>(std::max(len, 0)); }

}  // namespace

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

namespace {

// The file kept open by the active KeepFilesOpen, if any.
struct Kept {
  std::unique_ptr<NcFile> file;
  int status = NC_NOERR;  // of the calls made on it between reads
};
Kept* g_kept = nullptr;

// Closes the file kept open from earlier reads, if any, checking the close.
void close_kept() {
  if (g_kept == nullptr || !g_kept->file) return;
  const std::unique_ptr<NcFile> kept = std::move(g_kept->file);
  kept->close();
}

// Starts a read of `var`: closes a file kept open from earlier reads if it
// is another one, prints the first progress line, and returns the file
// open for the read, the kept one or a new opening.
std::unique_ptr<NcFile> begin_read(std::string_view file, std::string_view var, int& status) {
  const bool kept = g_kept != nullptr && g_kept->file;
  if (kept && g_kept->file->path() != file) close_kept();
  start_line(file);
  if (kept && g_kept->file) {
    std::unique_ptr<NcFile> f = std::move(g_kept->file);
    f->reuse_for(var, status);
    return f;
  }
  return std::make_unique<NcFile>(file, var, status);
}

// After a complete read: keeps the file open for the next read, or closes it.
void done_with(std::unique_ptr<NcFile> f) {
  if (g_kept != nullptr) {
    // The reader's status variable may not outlive the read.
    f->bind_status(g_kept->status);
    g_kept->file = std::move(f);
  } else {
    f->close();
  }
}

// The 1-D read; `destination(n, dst)` sets where the n values go and
// returns false to leave them unread.
template <typename Destination>
void read_1d(std::string_view file, Array1& coord, std::int32_t& len, std::string_view var, int& status,
             Destination&& destination) {
  std::unique_ptr<NcFile> opened = begin_read(file, var, status);
  NcFile& f = *opened;
  int dimids[1] = {-1};
  const int varid = f.requested_variable(1, dimids);
  const NcFile::Dim dim = f.dimension(dimids[0]);
  len = dim.len;
  dim_line(kFirstDim, dim.name, len);

  const std::size_t n = count(len);
  float* dst = nullptr;
  bool read = false;
  allocate_or_fail(f, n, n, [&] {
    coord.allocate({n});
    read = destination(n, dst);
  });
  f.read_coordinate(dim, coord);
  if (read) f.read_values(varid, dst, n);
  done_with(std::move(opened));
  end_line(file);
}

}  // namespace

void rd_ncdf_1d(std::string_view file, Array1& coord, std::int32_t& len, Array1& values,
                std::string_view var, int& status) {
  read_1d(file, coord, len, var, status, [&values](std::size_t n, float*& dst) {
    values.allocate_for_overwrite({n});
    dst = values.data();
    return true;
  });
}

void rd_ncdf_1d_into(std::string_view file, Array1& coord, std::int32_t& len, std::span<float> values,
                     std::string_view var, int& status) {
  read_1d(file, coord, len, var, status, [values](std::size_t n, float*& dst) {
    dst = values.data();
    return n == values.size();
  });
}

void rd_ncdf_2d(std::string_view file, Array1& coord1, Array1& coord2, std::int32_t& n1,
                std::int32_t& n2, Array2& values, std::string_view var, int& status) {
  std::unique_ptr<NcFile> opened = begin_read(file, var, status);
  NcFile& f = *opened;
  // Declared order: the slower dimension first.  The reader's first
  // dimension is the fastest-varying one, the last declared.
  int dimids[2] = {-1, -1};
  const int varid = f.requested_variable(2, dimids);
  const NcFile::Dim first = f.dimension(dimids[1]);
  const NcFile::Dim second = f.dimension(dimids[0]);
  n1 = first.len;
  n2 = second.len;
  dim_line(kFirstDim, first.name, n1);
  dim_line(kSecondDim, second.name, n2);

  const std::size_t c1 = count(n1), c2 = count(n2);
  allocate_or_fail(f, static_cast<std::uint64_t>(c1) * c2, c1 + c2, [&] {
    coord1.allocate({c1});
    coord2.allocate({c2});
    values.allocate_for_overwrite({c1, c2});
  });
  f.read_coordinate(first, coord1);
  f.read_coordinate(second, coord2);
  f.read_values(varid, values.data(), values.size());
  done_with(std::move(opened));
  end_line(file);
}

KeepFilesOpen::KeepFilesOpen() {
  if (g_kept != nullptr) throw Error("netCDF files are already being kept open");
  g_kept = new Kept();
}

KeepFilesOpen::~KeepFilesOpen() {
  // On unwind: the failure being reported is the one that matters.
  delete g_kept;
  g_kept = nullptr;
}

void KeepFilesOpen::close() { close_kept(); }

}  // namespace dx
