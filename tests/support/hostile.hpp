#pragma once
// Hostile input sets for the whole run, made from a seed: structurally valid
// netCDF files (written through the netCDF C library) that break the
// expectations of the loader in every way a user's files might.  Each case
// is a plan of the seven result files and the station-coordinate file (as
// listed in input/result_files.hpp), the list of mutations applied to a sound set, and the outcome the run must
// have: success, or a clean failure naming a given file and variable.
//
// What varies: station counts from 0 to a few thousand (0 needs netCDF-4),
// file formats (classic, 64-bit offset, netCDF-4), every numeric stored
// type, text (NC_CHAR) and string variables, ranks 0 to 3, missing
// variables, files and coordinate variables, coordinate variables of the
// wrong type or shape, dimension names longer than 15 characters, unlimited
// dimensions, variables of the right name in the wrong file, station and
// column counts that are off by one, NaN, infinities, signed zeros,
// subnormals and values beyond the float range, netCDF-3 files cut short,
// and declared dimensions far beyond any machine's memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <netcdf.h>

#include "input/result_files.hpp"
#include "support/nc_fixture.hpp"

namespace dxtest::hostile {

struct VarPlan {
  int item = 0;      // index into dx::input_reads()
  int file = 0;      // file it is written to (dx::kInputFileNames); -1: nowhere
  int copy_in = -1;  // a second copy in another file; -1: none
  nc_type type = NC_FLOAT;
  int rank = 1;  // as written (0 to 3)
  std::size_t stations = 0;
  std::size_t columns = 0;    // rank 2 and 3
  double special_rate = 0.0;  // share of NaN, infinities, huge values ...
  bool huge = false;          // declared only, dimensions beyond any memory
};

struct FilePlan {
  NcFormat format = NcFormat::NetCDF4;
  bool missing = false;
  std::string station_dim = "stn";
  std::string column_dim = "col";
  bool coords = true;          // coordinate variables of the dimensions
  bool hostile_coord = false;  // the station coordinate variable is text, or 2-D
  bool unlimited = false;      // one dimension (or more, netCDF-4) unlimited
  double cut = -1.0;           // >= 0: cut to this share of its length
};

struct Case {
  std::uint64_t seed = 0;
  std::size_t stations = 0;
  std::vector<FilePlan> files;  // dx::kInputFiles entries
  std::vector<VarPlan> vars;    // one per dx::input_reads() item
  std::vector<std::string> mutations;

  // The outcome the run must have.
  bool expect_success = true;
  int fail_file = -1;  // the file and variable the error line names
  std::string fail_var;
  std::string why;  // what makes it fail

  // One line per mutation, for failure messages.
  std::string describe() const;
};

// The plan of the case of `seed`: a sound set with random formats, types,
// counts and values, and 0 to 4 mutations.
Case plan_case(std::uint64_t seed);

// Writes the result files into `dir` and the station file to
// `station_path`; files to cut are cut after writing.
void write_case(const Case& c, const std::string& dir, const std::string& station_path);

// The path a case's file `f` has (dir/name, or station_path).
std::string file_path(int f, const std::string& dir, const std::string& station_path);

}  // namespace dxtest::hostile
