#pragma once
// netCDF test files written through the netCDF C library: a general writer
// (any format, dimensions in declared order, variables of any numeric type
// and text variables for hostile inputs, coordinate variables, variable and
// global attributes), a complete set of result files for the loader, and whole
// variables read back.
#include <netcdf.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dxtest {

enum class NcFormat { Classic, Offset64, NetCDF4 };
const char* format_name(NcFormat f);
// GoogleTest prints a format parameter by its name.
inline void PrintTo(NcFormat f, std::ostream* os) { *os << format_name(f); }
// "float", "uint64", ... for a numeric type.
const char* type_name(nc_type t);

struct NcDim {
  std::string name;
  std::size_t len = 0;  // for an unlimited dimension: the records written
  bool unlimited = false;
};

struct NcVar {
  std::string name;
  nc_type type = NC_FLOAT;
  std::vector<std::string> dims;  // dimension names in declared order
  // Values in the reader's element order: the last declared dimension
  // varies fastest (which is also the library's order for a whole
  // variable).  Give doubles or floats; the library converts them to the
  // stored type.  A variable with no values given is declared only.
  std::vector<double> values;
  std::vector<float> fvalues;
  // Numeric attributes (_FillValue, scale_factor, ...), one value each,
  // stored in the variable's own type.
  std::vector<std::pair<std::string, double>> attrs;
  // Text attributes (units, ...): of type char, or of type string, one
  // string each (netCDF-4 only).
  std::vector<std::pair<std::string, std::string>> text_attrs, string_attrs;
  std::string text;                  // NC_CHAR contents
  std::vector<std::string> strings;  // NC_STRING contents (netCDF-4 only)
};

struct NcLayout {
  NcFormat format = NcFormat::NetCDF4;
  std::vector<NcDim> dims;
  std::vector<NcVar> vars;
  std::vector<std::pair<std::string, std::string>> global_attrs;

  // Adds a dimension; returns *this for chaining.
  NcLayout& dim(std::string name, std::size_t len, bool unlimited = false);
  // Adds a variable; returns it for filling in.
  NcVar& var(std::string name, nc_type type, std::vector<std::string> dims, std::vector<double> values = {});
  // Adds the coordinate variable of a dimension (a 1-D double variable of
  // the same name).
  NcLayout& coord(const std::string& dim, std::vector<double> values);
  // The variable of that name; fails the test (throws) if there is none.
  NcVar& find(std::string_view name);
  // Removes a variable; throws if there is none.
  void remove(std::string_view name);
};

// Creates (or replaces) the file at `path`.  Every netCDF call is checked;
// a failure throws std::runtime_error naming the path, the item and the
// library's message.
void write_nc(const std::string& path, const NcLayout& layout);

// ---- The result files of one analysis ----------------------------------

struct ResultSetOptions {
  NcFormat format = NcFormat::NetCDF4;
  nc_type type = NC_FLOAT;  // stored type of every statistic
  std::size_t stations = 3;
  std::size_t drm_cols = 18;    // columns of N_Drou_mon
  std::size_t idx_cols = 6;     // columns of SenSL and Prob
  std::size_t class_cols = 18;  // columns of the spell, interval, Freq and Mag variables
  std::size_t periods = 12;     // periods of every Fre_/Mag_ variable
};

struct NcFixtureFile {
  std::string path;
  NcLayout layout;
};

// Names of the variables of the result files (from input/result_files.hpp).
extern const std::vector<std::string> kPeriodVarNames;  // 36, in reading order
extern const std::vector<std::string> kPairVarNames;    // 12, column order

// The value that the result set stores at (station, column) of a variable
// (0-based): a whole number below 2^24, distinct for every variable,
// column and station below 1000, so exact in every numeric stored type
// except the small ones.  The pair variables of the p-value file are keyed
// "p:" + pair name; the station file's "lon", "lat", "reg" are keyed by
// their names.  Unknown names give 0.
double result_value(std::string_view var, std::size_t station, std::size_t column);

// The seven result files in `dir` and the station-coordinate file at
// `station_path`, every statistic filled with result_value().  2-D
// variables are declared (column dimension, station dimension), so that the
// station is the reader's first dimension.  The layouts can be changed before
// they are written with write_all().
std::vector<NcFixtureFile> result_set(const std::string& dir, const std::string& station_path,
                                      const ResultSetOptions& opt = {});
void write_all(const std::vector<NcFixtureFile>& files);
// The file of the set whose name ends with `name`.
NcFixtureFile& file_of(std::vector<NcFixtureFile>& files, std::string_view name);

// ---- Reading back -------------------------------------------------------

// A whole variable as the library converts it to floats (values beyond the
// float range included), with its dimension names and lengths in declared
// order: the station dimension, the last, varies fastest.
struct NcRead {
  std::vector<std::string> dims;
  std::vector<std::size_t> lens;
  std::vector<float> values;
  bool ok = false;
  // Value of station s in column k of a 1-D or 2-D variable.
  float at(std::size_t s, std::size_t k = 0) const { return values[k * lens.back() + s]; }
};
// Records a test failure when the variable cannot be read.
NcRead read_var(const std::string& path, const std::string& name);

}  // namespace dxtest
