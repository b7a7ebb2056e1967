#include "input/nc_reader.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/fields.hpp"

namespace dx {
namespace {

void start_line(std::string_view file) {
  console_line({Value::text("   Reading netCDF file: "), Value::text(file), Value::text("...")});
}
void dim_line(std::string_view label, const std::string& name, std::int32_t len) {
  console_line({Value::text(label), Value::text(name), Value::text("; length = "), Value::integer(len)});
}
void end_line(std::string_view file) { console_line({Value::text("   Completed reading file "), Value::text(file)}); }

constexpr std::string_view kFirstDim = "      - Longitude's name = ";
constexpr std::string_view kSecondDim = "      - Latitude's name  = ";

// Lets the caller refuse a shape it cannot use before anything is read
// (the arrays are allocated, but their pages are only touched by the
// read).  A refused shape ends the read with the progress lines that a
// read refused after its values were read has always printed.
void check_shape(std::string_view file, const ShapeCheck& check, std::int32_t n1, std::int32_t n2) {
  if (!check) return;
  try {
    check(n1, n2);
  } catch (const Error&) {
    end_line(file);
    throw;
  }
}

// Starts a read of `var`: closes a file kept open from earlier reads if it
// is another one, prints the first progress line, and returns the file
// open for the read, the kept one or a new opening.
std::unique_ptr<NcFile> begin_read(NcOpenings& files, std::string_view file, std::string_view var, int& status) {
  std::unique_ptr<NcFile> kept = files.take_kept(file, var);
  start_line(file);
  return kept ? std::move(kept) : files.open(file, var, status);
}

// The 1-D read; `destination(n, dst)` sets where the n values go and
// returns false to leave them unread.
template <typename Destination>
void read_1d(NcOpenings& files, std::string_view file, Array1& coord, std::int32_t& len, std::string& units,
             std::string_view var, int& status, const ShapeCheck& check, Destination&& destination) {
  std::unique_ptr<NcFile> opened = begin_read(files, file, var, status);
  NcFile& f = *opened;
  int dimids[1] = {-1};
  const int varid = f.requested_variable(1, dimids, status);
  units = f.units(varid, status);
  const NcFile::Dim dim = f.dimension(dimids[0], status);
  len = dim.len;
  dim_line(kFirstDim, dim.name, len);

  const std::size_t n = count_to_size(len);
  float* dst = nullptr;
  bool read = false;
  f.reserve(n, n, [&] {
    coord.allocate({n});
    read = destination(n, dst);
  });
  check_shape(file, check, len, 1);
  f.read_coordinate(dim, coord, status);
  if (read) f.read_values(varid, dst, n, status);
  files.done_with(std::move(opened), status);
  end_line(file);
}

}  // namespace

void rd_ncdf_1d(NcOpenings& files, std::string_view file, Array1& coord, std::int32_t& len, Array1& values,
                std::string_view var, int& status, const ShapeCheck& check) {
  read_1d(files, file, coord, len, values.units, var, status, check, [&values](std::size_t n, float*& dst) {
    values.allocate_for_overwrite({n});
    dst = values.data();
    return true;
  });
}

void rd_ncdf_1d_into(NcOpenings& files, std::string_view file, Array1& coord, std::int32_t& len,
                     std::span<float> values, std::string& units, std::string_view var, int& status,
                     const ShapeCheck& check) {
  read_1d(files, file, coord, len, units, var, status, check, [values](std::size_t n, float*& dst) {
    dst = values.data();
    return n == values.size();
  });
}

CoordinatesRead rd_ncdf_2d(NcOpenings& files, std::string_view file, Array1& coord1, Array1& coord2, std::int32_t& n1,
                           std::int32_t& n2, Array2& values, std::string_view var, int& status,
                           const ShapeCheck& check) {
  std::unique_ptr<NcFile> opened = begin_read(files, file, var, status);
  NcFile& f = *opened;
  // Declared order: the slower dimension first.  The reader's first
  // dimension is the fastest-varying one, the last declared.
  int dimids[2] = {-1, -1};
  const int varid = f.requested_variable(2, dimids, status);
  values.units = f.units(varid, status);
  const NcFile::Dim first = f.dimension(dimids[1], status);
  const NcFile::Dim second = f.dimension(dimids[0], status);
  n1 = first.len;
  n2 = second.len;
  dim_line(kFirstDim, first.name, n1);
  dim_line(kSecondDim, second.name, n2);

  const std::size_t c1 = count_to_size(n1), c2 = count_to_size(n2);
  f.reserve(static_cast<std::uint64_t>(c1) * c2, c1 + c2, [&] {
    coord1.allocate({c1});
    coord2.allocate({c2});
    values.allocate_for_overwrite({c1, c2});
  });
  check_shape(file, check, n1, n2);
  CoordinatesRead coords;
  coords.first = f.read_coordinate(first, coord1, status);
  coords.second = f.read_coordinate(second, coord2, status);
  f.read_values(varid, values.data(), values.size(), status);
  files.done_with(std::move(opened), status);
  end_line(file);
  return coords;
}

}  // namespace dx
