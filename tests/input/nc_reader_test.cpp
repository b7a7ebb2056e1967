// The netCDF variable readers: progress lines, shapes and element order,
// coordinate handling, and every refused input.
#include "input/memory.hpp"
#include "input/nc_reader.hpp"

#include "base/error.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>
#include <netcdf.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>


#include "run/run.hpp"
#include "support/capture.hpp"
#include "support/nc_fixture.hpp"
#include "support/numeric_mode.hpp"
#include "support/process.hpp"
#include "support/fs.hpp"

namespace {

using dxtest::Captured;
using dxtest::NcLayout;
using dxtest::NcFormat;

struct Read1 {
  dx::Array1 coord, values;
  std::int32_t len = -7;
  int status = -99;
  Captured io;
  std::string error;
};
struct Read2 {
  dx::Array1 coord1, coord2;
  dx::Array2 values;
  std::int32_t n1 = -7, n2 = -7;
  int status = -99;
  Captured io;
  std::string error;
};

// A read with its own opening of the file (the default), or one shared
// with neighbouring reads through `files`.
Read1 read1(const std::string& path, const std::string& var, dx::NcOpenings* files = nullptr) {
  dx::NcOpenings own(false);
  Read1 r;
  dxtest::capture_stdio(
      [&] {
        try {
          dx::rd_ncdf_1d(files ? *files : own, path, r.coord, r.len, r.values, var, r.status);
        } catch (const dx::Error& e) {
          r.error = e.what();
        }
      },
      r.io);
  return r;
}

Read2 read2(const std::string& path, const std::string& var, dx::NcOpenings* files = nullptr) {
  dx::NcOpenings own(false);
  Read2 r;
  dxtest::capture_stdio(
      [&] {
        try {
          dx::rd_ncdf_2d(files ? *files : own, path, r.coord1, r.coord2, r.n1, r.n2, r.values, var, r.status);
        } catch (const dx::Error& e) {
          r.error = e.what();
        }
      },
      r.io);
  return r;
}

std::string start_line(const std::string& path) { return "    Reading netCDF file: " + path + "...\n"; }
std::string end_line(const std::string& path) { return "    Completed reading file " + path + "\n"; }

// ---- Whole 2-D variables in every format and stored type ---------------

struct TypeCase {
  NcFormat format;
  nc_type type;
};
// "classic_float", ...: the name of the case, also in the test's name.
std::string case_name(const TypeCase& c) {
  return std::string(dxtest::format_name(c.format)) + "_" + dxtest::type_name(c.type);
}
void PrintTo(const TypeCase& c, std::ostream* os) { *os << case_name(c); }

class Read2dTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(Read2dTypes, StationIsTheFirstDimensionAndEveryValueKeepsItsPlace) {
  dxtest::TempDir dir;
  const std::string path = dir / "stats.nc";
  // 3 stations, 4 columns; the column dimension is declared first, so the
  // station (declared last) is the reader's first dimension.
  NcLayout f;
  f.format = GetParam().format;
  f.dim("drought_class_dimension", 4).dim("stn", 3);
  f.coord("stn", {101, 102, 103});
  f.coord("drought_class_dimension", {1, 2, 3, 4});  // unreachable by the cut name
  std::vector<double> v(12);
  for (int c = 0; c < 4; ++c)
    for (int s = 0; s < 3; ++s) v[c * 3 + s] = 10 * c + s + 1;
  f.var("N_Drou_mon", GetParam().type, {"drought_class_dimension", "stn"}, v);
  dxtest::write_nc(path, f);

  const Read2 r = read2(path, "N_Drou_mon");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.io.out, start_line(path) +
                          "       - Longitude's name = stn            ; length =            3\n"
                          "       - Latitude's name  = drought_class_d; length =            4\n" +
                          end_line(path));
  EXPECT_EQ(r.io.err, "");
  EXPECT_EQ(r.n1, 3);
  EXPECT_EQ(r.n2, 4);
  EXPECT_EQ(r.status, NC_NOERR);
  ASSERT_EQ(r.values.extent(0), 3u);
  ASSERT_EQ(r.values.extent(1), 4u);
  for (int s = 0; s < 3; ++s)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(r.values(s, c), 10 * c + s + 1) << "station " << s << " column " << c;
  ASSERT_EQ(r.coord1.size(), 3u);
  EXPECT_EQ(r.coord1(2), 103.0f);
  ASSERT_EQ(r.coord2.size(), 4u);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(r.coord2(c), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    FormatsAndTypes, Read2dTypes,
    ::testing::Values(TypeCase{NcFormat::Classic, NC_FLOAT}, TypeCase{NcFormat::Classic, NC_DOUBLE},
                      TypeCase{NcFormat::Classic, NC_SHORT}, TypeCase{NcFormat::Classic, NC_BYTE},
                      TypeCase{NcFormat::Offset64, NC_INT}, TypeCase{NcFormat::Offset64, NC_FLOAT},
                      TypeCase{NcFormat::NetCDF4, NC_FLOAT}, TypeCase{NcFormat::NetCDF4, NC_DOUBLE},
                      TypeCase{NcFormat::NetCDF4, NC_UBYTE}, TypeCase{NcFormat::NetCDF4, NC_USHORT},
                      TypeCase{NcFormat::NetCDF4, NC_UINT}, TypeCase{NcFormat::NetCDF4, NC_INT64},
                      TypeCase{NcFormat::NetCDF4, NC_UINT64}),
    [](const auto& info) { return case_name(info.param); });

// ---- 1-D reads, record variables and zero lengths ------------------------

struct LengthCase {
  const char* name;
  NcFormat format;
  std::size_t len;
  bool unlimited;
};

class Read1dLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(Read1dLengths, ReadsAllRecordsAndPrintsTheLength) {
  const LengthCase& c = GetParam();
  dxtest::TempDir dir;
  const std::string path = dir / "pairs.nc";
  NcLayout f;
  f.format = c.format;
  f.dim("station", c.len, c.unlimited);
  std::vector<double> coord(c.len), v(c.len);
  for (std::size_t s = 0; s < c.len; ++s) {
    coord[s] = 1000.0 + static_cast<double>(s);
    v[s] = 0.25 * static_cast<double>(s) - 1.0;
  }
  f.coord("station", coord);
  f.var("pdsi_spi01", NC_FLOAT, {"station"}, v);
  dxtest::write_nc(path, f);

  const Read1 r = read1(path, "pdsi_spi01");
  ASSERT_EQ(r.error, "");
  char len_field[13];
  std::snprintf(len_field, sizeof len_field, "%12zu", c.len);
  EXPECT_EQ(r.io.out, start_line(path) + "       - Longitude's name = station        ; length = " + len_field + "\n" +
                          end_line(path));
  EXPECT_EQ(r.len, static_cast<std::int32_t>(c.len));
  ASSERT_EQ(r.values.size(), c.len);
  ASSERT_EQ(r.coord.size(), c.len);
  for (std::size_t s = 0; s < c.len; ++s) {
    EXPECT_EQ(r.values(s), static_cast<float>(v[s]));
    EXPECT_EQ(r.coord(s), static_cast<float>(coord[s]));
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Read1dLengths,
                         ::testing::Values(LengthCase{"classic_fixed", NcFormat::Classic, 5, false},
                                           LengthCase{"classic_records", NcFormat::Classic, 4, true},
                                           LengthCase{"classic_no_record", NcFormat::Classic, 0, true},
                                           LengthCase{"offset64_no_record", NcFormat::Offset64, 0, true},
                                           LengthCase{"netcdf4_records", NcFormat::NetCDF4, 6, true},
                                           LengthCase{"netcdf4_zero", NcFormat::NetCDF4, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Read2d, ZeroStationsGiveEmptyValuesAndKeepTheColumnCount) {
  dxtest::TempDir dir;
  const std::string path = dir / "empty.nc";
  NcLayout f;
  f.format = NcFormat::NetCDF4;
  f.dim("period", 12).dim("stn", 0);
  f.var("Fre_pdsi_mod", NC_FLOAT, {"period", "stn"});
  dxtest::write_nc(path, f);

  const Read2 r = read2(path, "Fre_pdsi_mod");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.io.out, start_line(path) +
                          "       - Longitude's name = stn            ; length =            0\n"
                          "       - Latitude's name  = period         ; length =           12\n" +
                          end_line(path));
  EXPECT_EQ(r.n1, 0);
  EXPECT_EQ(r.n2, 12);
  EXPECT_EQ(r.values.size(), 0u);
  EXPECT_EQ(r.values.extent(1), 12u);
}

// ---- Unsuitable coordinate variables are skipped, never read -------------

struct CoordCase {
  const char* name;
  NcFormat format;
  void (*add)(NcLayout&);
};

class UnsuitableCoordinate : public ::testing::TestWithParam<CoordCase> {};

TEST_P(UnsuitableCoordinate, LeavesZerosAndReadsTheValues) {
  dxtest::TempDir dir;
  const std::string path = dir / "c.nc";
  NcLayout f;
  f.format = GetParam().format;
  f.dim("other", 5).dim("stn", 3);
  f.var("lon", NC_FLOAT, {"stn"}, {105.5, 106.25, 107});
  GetParam().add(f);
  dxtest::write_nc(path, f);

  const Read1 r = read1(path, "lon");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.io.err, "");
  ASSERT_EQ(r.coord.size(), 3u);
  for (std::size_t s = 0; s < 3; ++s) EXPECT_EQ(r.coord(s), 0.0f);
  EXPECT_EQ(r.values(1), 106.25f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsuitableCoordinate,
    ::testing::Values(CoordCase{"longer", NcFormat::Classic,
                                [](NcLayout& f) {
                                  f.var("stn", NC_DOUBLE, {"other"}, {1, 2, 3, 4, 5});
                                }},
                      CoordCase{"two_dimensional", NcFormat::Classic,
                                [](NcLayout& f) {
                                  f.var("stn", NC_DOUBLE, {"stn", "other"}, std::vector<double>(15, 9));
                                }},
                      CoordCase{"text", NcFormat::Classic,
                                [](NcLayout& f) { f.var("stn", NC_CHAR, {"stn"}).text = "abc"; }},
                      CoordCase{"strings", NcFormat::NetCDF4,
                                [](NcLayout& f) {
                                  f.var("stn", NC_STRING, {"stn"}).strings = {"a", "b", "c"};
                                }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Refused inputs -------------------------------------------------------

struct RefusalCase {
  const char* name;
  int rank;                               // reader used
  const char* var;                        // variable requested
  void (*make)(const std::string& path);  // writes the file (or not)
  std::string (*message)(const std::string& path);
  int lines_before;  // progress lines printed before the failure
};

void write_layout(const std::string& path, NcFormat format, void (*fill)(NcLayout&)) {
  NcLayout f;
  f.format = format;
  fill(f);
  dxtest::write_nc(path, f);
}

std::string machine_memory() { return std::to_string(dx::physical_memory()); }

// A netCDF-4 file whose variable "obs" is of a user-defined type: a
// compound, an enum or a variable-length type named "obs_t".
void write_user_typed(const std::string& path, int kind) {
  int nc = -1, dim = -1, type = -1, var = -1;
  ASSERT_EQ(nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, &nc), NC_NOERR);
  ASSERT_EQ(nc_def_dim(nc, "stn", 2, &dim), NC_NOERR);
  if (kind == NC_COMPOUND) {
    ASSERT_EQ(nc_def_compound(nc, sizeof(float), "obs_t", &type), NC_NOERR);
    ASSERT_EQ(nc_insert_compound(nc, type, "value", 0, NC_FLOAT), NC_NOERR);
  } else if (kind == NC_ENUM) {
    ASSERT_EQ(nc_def_enum(nc, NC_BYTE, "obs_t", &type), NC_NOERR);
    const signed char dry = 1;
    ASSERT_EQ(nc_insert_enum(nc, type, "dry", &dry), NC_NOERR);
  } else {
    ASSERT_EQ(nc_def_vlen(nc, "obs_t", NC_FLOAT, &type), NC_NOERR);
  }
  ASSERT_EQ(nc_def_var(nc, "obs", type, 1, &dim, &var), NC_NOERR);
  ASSERT_EQ(nc_close(nc), NC_NOERR);
}

const RefusalCase kRefusals[] = {
    {"missing_file_2d", 2, "SenSL", [](const std::string&) {},
     [](const std::string& p) {
       return p + ": cannot open the file to read variable SenSL: No such file or directory";
     },
     1},
    {"missing_file_1d", 1, "lon", [](const std::string&) {},
     [](const std::string& p) { return p + ": cannot open the file to read variable lon: No such file or directory"; },
     1},
    {"not_netcdf", 2, "SenSL", [](const std::string& p) { dxtest::write_file(p, "station,value\n1,2\n"); },
     [](const std::string& p) {
       return p + ": cannot open the file to read variable SenSL: " + nc_strerror(NC_ENOTNC);
     },
     1},
    {"missing_variable", 2, "Prob",
     [](const std::string& p) {
       write_layout(p, NcFormat::Classic, [](NcLayout& f) {
         f.dim("index", 6).dim("stn", 2).var("SenSL", NC_FLOAT, {"index", "stn"}, std::vector<double>(12, 1));
       });
     },
     [](const std::string& p) { return p + ": variable Prob: cannot find it in the file: " + nc_strerror(NC_ENOTVAR); },
     1},
    {"three_dimensions", 2, "Mag",
     [](const std::string& p) {
       write_layout(p, NcFormat::NetCDF4, [](NcLayout& f) {
         f.dim("a", 2).dim("b", 2).dim("stn", 2).var("Mag", NC_FLOAT, {"a", "b", "stn"}, std::vector<double>(8, 1));
       });
     },
     [](const std::string& p) { return p + ": variable Mag has 3 dimensions, expected 2"; }, 1},
    {"one_dimension_for_2d", 2, "Mag",
     [](const std::string& p) {
       write_layout(p, NcFormat::Classic, [](NcLayout& f) { f.dim("stn", 2).var("Mag", NC_FLOAT, {"stn"}, {1, 2}); });
     },
     [](const std::string& p) { return p + ": variable Mag has 1 dimension, expected 2"; }, 1},
    {"two_dimensions_for_1d", 1, "reg",
     [](const std::string& p) {
       write_layout(p, NcFormat::Offset64, [](NcLayout& f) {
         f.dim("x", 2).dim("stn", 2).var("reg", NC_FLOAT, {"x", "stn"}, {1, 2, 3, 4});
       });
     },
     [](const std::string& p) { return p + ": variable reg has 2 dimensions, expected 1"; }, 1},
    {"scalar_for_1d", 1, "reg",
     [](const std::string& p) {
       write_layout(p, NcFormat::Classic, [](NcLayout& f) { f.var("reg", NC_FLOAT, {}, {7}); });
     },
     [](const std::string& p) { return p + ": variable reg has 0 dimensions, expected 1"; }, 1},
    {"text_variable", 2, "Freq",
     [](const std::string& p) {
       write_layout(p, NcFormat::Classic, [](NcLayout& f) {
         f.dim("cls", 2).dim("stn", 2).var("Freq", NC_CHAR, {"cls", "stn"}).text = "abcd";
       });
     },
     [](const std::string& p) { return p + ": variable Freq is of type char, not numeric"; }, 1},
    {"string_variable", 1, "lat",
     [](const std::string& p) {
       write_layout(p, NcFormat::NetCDF4, [](NcLayout& f) {
         f.dim("stn", 2).var("lat", NC_STRING, {"stn"}).strings = {"10N", "11N"};
       });
     },
     [](const std::string& p) { return p + ": variable lat is of type string, not numeric"; }, 1},
    {"more_than_memory", 2, "Freq",
     [](const std::string& p) {
       write_layout(p, NcFormat::NetCDF4, [](NcLayout& f) {
         f.dim("cls", 1u << 20).dim("stn", 1u << 20).var("Freq", NC_FLOAT, {"cls", "stn"});
       });
     },
     [](const std::string& p) {
       return p +
              ": variable Freq needs 4398046511104 bytes for its 1099511627776 values, more than the machine's "
              "memory (" +
              machine_memory() + " bytes)";
     },
     3},
    {"truncated_classic_file", 1, "lon",
     [](const std::string& p) {
       write_layout(p, NcFormat::Classic,
                    [](NcLayout& f) { f.dim("stn", 100).var("lon", NC_FLOAT, {"stn"}, std::vector<double>(100, 1)); });
       ASSERT_EQ(::truncate(p.c_str(), static_cast<off_t>(std::filesystem::file_size(p) - 40)), 0);
     },
     [](const std::string& p) {
       const auto size = std::to_string(std::filesystem::file_size(p));
       return p + ": file is truncated: its header describes " + std::to_string(std::stoul(size) + 40) +
              " bytes of data but the file has " + size +
              " bytes (a damaged or incompletely copied netCDF file), while reading variable lon";
     },
     1},
    {"classic_header_cut_short", 2, "SenSL",
     [](const std::string& p) {
       write_layout(p, NcFormat::Classic, [](NcLayout& f) {
         f.dim("index", 6).dim("stn", 2).var("SenSL", NC_FLOAT, {"index", "stn"}, std::vector<double>(12, 1));
       });
       ASSERT_EQ(::truncate(p.c_str(), 60), 0);
     },
     [](const std::string& p) {
       return p +
              ": damaged netCDF header: it lists 1 variables, more than the remaining 0 bytes of the file "
              "can hold (a damaged or incompletely copied netCDF file), while reading variable SenSL";
     },
     1},
    {"netcdf4_file_cut_short", 1, "lon",
     [](const std::string& p) {
       write_layout(p, NcFormat::NetCDF4, [](NcLayout& f) { f.dim("stn", 2).var("lon", NC_FLOAT, {"stn"}, {1, 2}); });
       ASSERT_EQ(::truncate(p.c_str(), static_cast<off_t>(std::filesystem::file_size(p) / 2)), 0);
     },
     [](const std::string& p) {
       return p + ": cannot open the file to read variable lon: " + nc_strerror(NC_EHDFERR) +
              " (the file looks damaged or incompletely copied)";
     },
     1},
    {"fifo", 1, "lon", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
     [](const std::string& p) { return p + ": not a regular file, while reading variable lon"; }, 1},
    {"folder", 2, "SenSL", [](const std::string& p) { std::filesystem::create_directory(p); },
     [](const std::string& p) { return p + ": not a regular file, while reading variable SenSL"; }, 1},
    {"compound_variable", 1, "obs", [](const std::string& p) { write_user_typed(p, NC_COMPOUND); },
     [](const std::string& p) { return p + ": variable obs is of type compound \"obs_t\", not numeric"; }, 1},
    {"enum_variable", 1, "obs", [](const std::string& p) { write_user_typed(p, NC_ENUM); },
     [](const std::string& p) { return p + ": variable obs is of type enum \"obs_t\", not numeric"; }, 1},
    {"vlen_variable", 1, "obs", [](const std::string& p) { write_user_typed(p, NC_VLEN); },
     [](const std::string& p) { return p + ": variable obs is of type variable-length \"obs_t\", not numeric"; }, 1},
    {"length_beyond_int32", 1, "lon",
     [](const std::string& p) {
       write_layout(p, NcFormat::NetCDF4, [](NcLayout& f) { f.dim("stn", 3000000000u).var("lon", NC_FLOAT, {"stn"}); });
     },
     [](const std::string& p) {
       return p + ": variable lon: dimension stn has length 3000000000, more than this tool handles (2147483647)";
     },
     1},
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const CoordCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, NamesFileAndVariableAfterTheLinesAlreadyPrinted) {
  const RefusalCase& c = GetParam();
  dxtest::TempDir dir;
  const std::string path = dir / "input.nc";
  c.make(path);
  std::string error, out;
  if (c.rank == 1) {
    const Read1 r = read1(path, c.var);
    error = r.error;
    out = r.io.out;
  } else {
    const Read2 r = read2(path, c.var);
    error = r.error;
    out = r.io.out;
  }
  EXPECT_EQ(error, c.message(path));
  EXPECT_EQ(out.rfind(start_line(path), 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), c.lines_before) << out;
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Values beyond a float, and denormals under the run's numeric mode ---

class FloatRange : public ::testing::TestWithParam<NcFormat> {};

TEST_P(FloatRange, OutOfRangeValuesAreReadWithAWarning) {
  dxtest::TempDir dir;
  const std::string path = dir / "big.nc";
  NcLayout f;
  f.format = GetParam();
  f.dim("stn", 3).var("Spell_Max", NC_DOUBLE, {"stn"}, {1e39, 2.5, -1e300});
  dxtest::write_nc(path, f);

  const Read1 r = read1(path, "Spell_Max");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.io.err, "drought-export: warning: " + path +
                          ": variable Spell_Max: some values lie outside the range of a 32-bit float and are read "
                          "as the netCDF library converts them (" +
                          nc_strerror(NC_ERANGE) + ")\n");
  EXPECT_EQ(r.status, NC_NOERR);  // the close came after
  ASSERT_EQ(r.values.size(), 3u);
  EXPECT_GE(r.values(0), FLT_MAX);
  EXPECT_EQ(r.values(1), 2.5f);
  EXPECT_LE(r.values(2), -FLT_MAX);
  EXPECT_EQ(r.io.out,
            start_line(path) + "       - Longitude's name = stn            ; length =            3\n" + end_line(path));
}

// Packed and flagged values are read as the library returns them, with one
// warning per kind; flags that do not occur give none.
TEST_P(FloatRange, PackedAndFlaggedValuesArePublishedAsStoredWithAWarning) {
  struct Case {
    const char* name;
    void (*fill)(NcLayout&);
    const char* warning;  // after "<path>: variable lat"
  };
  const Case cases[] = {
      {"packed",
       [](NcLayout& f) {
         f.var("lat", NC_SHORT, {"stn"}, {19, 20, 21}).attrs = {{"scale_factor", 0.001}, {"add_offset", 0}};
       },
       " has scale_factor/add_offset attributes; values are published as stored, not unpacked"},
      {"fill_value",
       [](NcLayout& f) {
         f.var("lat", NC_FLOAT, {"stn"}, {-999, 20, -999}).attrs = {{"_FillValue", -999}};
       },
       ": 2 values equal its _FillValue (-999); they are published as stored, not as missing"},
      {"fill_value_nan",  // NaN equals nothing, not even itself
       [](NcLayout& f) {
         f.var("lat", NC_FLOAT, {"stn"}, {NAN, 20, NAN}).attrs = {{"_FillValue", NAN}};
       },
       ": 2 values equal its _FillValue (nan); they are published as stored, not as missing"},
      {"missing_value",
       [](NcLayout& f) {
         f.var("lat", NC_DOUBLE, {"stn"}, {-99, 20, 21}).attrs = {{"missing_value", -99}};
       },
       ": 1 value equals its missing_value (-99); they are published as stored, not as missing"},
      {"flag_not_present",
       [](NcLayout& f) {
         f.var("lat", NC_FLOAT, {"stn"}, {19, 20, 21}).attrs = {{"_FillValue", -999}};
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dxtest::TempDir dir;
    const std::string path = dir / "flags.nc";
    NcLayout f;
    f.format = GetParam();
    f.dim("stn", 3);
    c.fill(f);
    dxtest::write_nc(path, f);
    const Read1 r = read1(path, "lat");
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.io.err, c.warning ? "drought-export: warning: " + path + ": variable lat" + c.warning + "\n" : "");
    ASSERT_EQ(r.values.size(), 3u);
    EXPECT_EQ(r.values(1), 20.0f);  // as stored
  }
}

// Records of an unlimited dimension that a variable never wrote read as the
// default fill value of its type.
TEST_P(FloatRange, UnwrittenRecordsAreCountedInAWarning) {
  dxtest::TempDir dir;
  const std::string path = dir / "records.nc";
  NcLayout f;
  f.format = GetParam();
  f.dim("stn", 3, true).var("lon", NC_FLOAT, {"stn"}, {1, 2, 3});
  f.var("lat", NC_FLOAT, {"stn"});  // never written
  dxtest::write_nc(path, f);
  const Read1 r = read1(path, "lat");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.io.err, "drought-export: warning: " + path +
                          ": variable lat: 3 values equal the netCDF default fill value (9.96921e+36) of data never "
                          "written; they are published as stored, not as missing\n");
  EXPECT_EQ(read1(path, "lon").io.err, "");
}

#ifdef DX_TEST_HAVE_MXCSR
TEST_P(FloatRange, DenormalResultsAreFlushedUnderTheRunsNumericMode) {
  dxtest::TempDir dir;
  const std::string path = dir / "tiny.nc";
  NcLayout f;
  f.format = GetParam();
  f.dim("stn", 2).var("Prob", NC_DOUBLE, {"stn"}, {1e-40, 0.75});
  dxtest::write_nc(path, f);

  const unsigned saved = dxtest::numeric_mode();
  const Read1 plain = read1(path, "Prob");
  dx::set_numeric_mode();
  const Read1 flushed = read1(path, "Prob");
  dxtest::set_numeric_mode(saved);

  ASSERT_EQ(plain.error, "");
  ASSERT_EQ(flushed.error, "");
  EXPECT_NE(plain.values(0), 0.0f);  // a denormal float without the mode
  EXPECT_EQ(flushed.values(0), 0.0f);
  EXPECT_EQ(flushed.values(1), 0.75f);
}
#endif

INSTANTIATE_TEST_SUITE_P(Formats, FloatRange,
                         ::testing::Values(NcFormat::Classic, NcFormat::Offset64, NcFormat::NetCDF4),
                         [](const auto& info) { return std::string(dxtest::format_name(info.param)); });

// ---- Memory that cannot be obtained --------------------------------------

TEST(Read1d, AllocationFailureBecomesAnErrorNamingFileAndVariable) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
  dxtest::TempDir dir;
  const std::string path = dir / "large.nc";
  NcLayout f;
  f.format = NcFormat::NetCDF4;
  f.dim("stn", 400000000).var("lon", NC_FLOAT, {"stn"});  // 1.6 GB, below the machine's memory
  dxtest::write_nc(path, f);
  // Values and coordinates (3.2 GB) must be obtainable, or the reader
  // refuses them before it allocates.
  if (dx::obtainable_memory() < 4000000000ull) GTEST_SKIP() << "machine too small for this case";

  const dxtest::InChild child = dxtest::in_child([&](std::string& msg) {
    const rlimit lim{1u << 30, 1u << 30};  // 1 GiB of address space
    if (setrlimit(RLIMIT_AS, &lim) != 0) return 5;
    if (!freopen("/dev/null", "w", stdout)) return 6;
    msg = "no error";
    try {
      dx::Array1 coord, values;
      std::int32_t len = 0;
      int status = 0;
      dx::NcOpenings files(false);
      dx::rd_ncdf_1d(files, path, coord, len, values, "lon", status);
    } catch (const dx::Error& e) {
      msg = e.what();
    }
    return 0;
  });
  ASSERT_TRUE(child.exited) << "child ended by signal " << child.status - 128;
  EXPECT_EQ(child.status, 0);
  const std::string& got = child.report;
  EXPECT_EQ(got, path + ": variable lon: not enough memory for its 400000000 values");
#endif
}

}  // namespace

namespace {

using dxtest::TempDir;

// Consecutive reads of one file share one opening through NcOpenings: the
// values and progress lines are those of separate reads, a file removed
// after its first read is still read from the opening kept, and the next
// read of another file closes it.
TEST(NcOpenings, SharesOneOpeningAndPrintsTheSameLines) {
  for (const NcFormat format : {NcFormat::Classic, NcFormat::Offset64, NcFormat::NetCDF4}) {
    SCOPED_TRACE(dxtest::format_name(format));
    TempDir dir;
    const std::string a = dir / "a.nc", b = dir / "b.nc";
    for (const std::string& path : {a, b}) {
      NcLayout f;
      f.format = format;
      f.dim("cls", 2).dim("stn", 3).coord("stn", {7, 8, 9});
      const double base = path == a ? 10 : 20;
      f.var("one", NC_FLOAT, {"cls", "stn"}, {base + 1, base + 2, base + 3, base + 4, base + 5, base + 6});
      f.var("two", NC_INT, {"stn"}, {base + 7, base + 8, base + 9});
      dxtest::write_nc(path, f);
    }
    std::vector<Read2> separate;
    separate.push_back(read2(a, "one"));
    separate.push_back(read2(b, "one"));
    ASSERT_EQ(separate[0].error, "");

    std::vector<Read2> kept;
    Read1 second;
    std::string after_removal, closing;
    {
      dx::NcOpenings keep;
      kept.push_back(read2(a, "one", &keep));
      ASSERT_EQ(unlink(a.c_str()), 0);
      second = read1(a, "two", &keep);  // the opening kept still reads it
      kept.push_back(read2(b, "one", &keep));
      after_removal = read1(a, "two", &keep).error;  // a was closed by the read of b
      try {
        keep.close_kept();
      } catch (const dx::Error& e) {
        closing = e.what();
      }
    }
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(kept[i].error, "");
      EXPECT_EQ(kept[i].io.out, separate[i].io.out);
      EXPECT_EQ(std::vector<float>(kept[i].values.data(), kept[i].values.data() + kept[i].values.size()),
                std::vector<float>(separate[i].values.data(), separate[i].values.data() + separate[i].values.size()));
      EXPECT_EQ(kept[i].coord1(2), 9.0f);
    }
    EXPECT_EQ(second.error, "");
    ASSERT_EQ(second.values.size(), 3u);
    EXPECT_EQ(second.values(2), 19.0f);
    EXPECT_NE(after_removal.find(a + ": cannot open the file to read variable two"), std::string::npos)
        << after_removal;
    EXPECT_EQ(closing, "");
  }
}

}  // namespace
