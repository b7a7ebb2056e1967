#pragma once
// Readers of one whole real variable from a netCDF file, with the
// coordinate values of its dimensions.  Each read takes its file from
// `files` (see NcOpenings: opened and closed by the read, or shared with
// the neighbouring reads of the same file) and prints its progress lines on
// standard output.  The first dimension is the fastest-varying one (the
// last one declared in the file).
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "base/col_array.hpp"
#include "input/nc_file.hpp"

namespace dx {

// Checks the lengths of a variable (n2 is 1 for a 1-D variable) once they
// are known, before anything is allocated or read: it throws Error to
// refuse the variable, so that a variable of the wrong shape is never
// read whole.
using ShapeCheck = std::function<void(std::int32_t n1, std::int32_t n2)>;

// Reads the 1-D variable `var` of `file` into `values`, its unit (its
// `units` attribute, empty where it has none or one that is not text) into
// values.units, its dimension's coordinate values into `coord` and the
// dimension length into `len`.  `status` receives the code of each netCDF
// call.
//
// Throws Error, naming the file, the variable and the library's reason, on
// any failure that the requested data depends on (open, lookup, dimension
// inquiry, read, close), and refuses a variable that is not numeric, not of
// the reader's rank, longer than a 32-bit length or larger than the
// machine's memory.  Progress lines printed before a failure stay.  Values
// that a float cannot represent are read as the library converts them,
// with a warning on standard error.  A missing or unsuitable coordinate
// variable (wrong name, shape, length or type) leaves zeros.
void rd_ncdf_1d(NcOpenings& files, std::string_view file, Array1& coord, std::int32_t& len, Array1& values,
                std::string_view var, int& status, const ShapeCheck& check = {});

// Reads like rd_ncdf_1d, but the values go straight into `values` (a column
// of a larger array) when the variable's length equals values.size(), and
// the unit into `units`; a variable of another length is left unread, and
// `len` tells the caller.
void rd_ncdf_1d_into(NcOpenings& files, std::string_view file, Array1& coord, std::int32_t& len,
                     std::span<float> values, std::string& units, std::string_view var, int& status,
                     const ShapeCheck& check = {});

// Which dimensions of a 2-D read had a usable coordinate variable, whose
// values are then in the coordinate array (the others hold zeros).
struct CoordinatesRead {
  bool first = false;
  bool second = false;
};

// Reads the 2-D variable `var` of `file` into `values` with shape (n1, n2),
// n1 being the length of the fastest-varying dimension, and its unit into
// values.units.
CoordinatesRead rd_ncdf_2d(NcOpenings& files, std::string_view file, Array1& coord1, Array1& coord2, std::int32_t& n1,
                           std::int32_t& n2, Array2& values, std::string_view var, int& status,
                           const ShapeCheck& check = {});

}  // namespace dx
