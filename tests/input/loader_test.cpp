// The result loader: the whole store filled from a set of result files, the
// final run counts, and every inconsistent input refused.
#include "input/loader.hpp"

#include "base/error.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "input/result_files.hpp"
#include "support/capture.hpp"
#include "support/nc_fixture.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace {

using dxtest::NcFixtureFile;
using dxtest::NcFormat;
using dxtest::result_value;

struct Loaded {
  dx::Store st;
  dxtest::Captured io;
  std::string error;
};

void load(const dxtest::TempDir& dir, const std::string& station_path, Loaded& out) {
  const dxtest::InFolder cwd(dir.path());  // the loader reads its result files there
  dxtest::capture_stdio(
      [&] {
        try {
          dx::read_data_nc(out.st, station_path);
        } catch (const dx::Error& e) {
          out.error = e.what();
        }
      },
      out.io);
}

void expect_statistic(const dx::Array2& a, const std::string& var, std::size_t nstn, std::size_t ncol) {
  ASSERT_EQ(a.extent(0), nstn) << var;
  ASSERT_EQ(a.extent(1), ncol) << var;
  for (std::size_t c = 0; c < ncol; ++c)
    for (std::size_t s = 0; s < nstn; ++s)
      ASSERT_EQ(a(s, c), static_cast<float>(result_value(var, s, c))) << var << " station " << s << " column " << c;
}

// ---- A complete, consistent set in each format and stored type -----------

// What the files give beside the values: every variable of the set has the
// unit "unit of " + the name of its array (the statistic's variable, the
// per-period or pair array's words in the catalogue), and the period
// coordinate numbers the periods by their first year.
std::string array_name(const dx::InputVar& r) {
  return std::visit(
      [&r]<typename Into>(const Into& into) -> std::string {
        if constexpr (requires { into.what; }) {
          return std::string(into.what);
        } else {
          return r.var;
        }
      },
      r.into);
}
std::vector<double> period_years() {
  std::vector<double> years;
  for (int p = 0; p < dx::kPeriods; ++p) years.push_back(1961 + 5 * p);
  return years;
}
void give_units_and_periods(std::vector<NcFixtureFile>& files) {
  for (const dx::InputVar& r : dx::input_reads())
    files[static_cast<std::size_t>(r.file)].layout.find(r.var).text_attrs = {{"units", "unit of " + array_name(r)}};
  dxtest::file_of(files, "/Fre_Mag_Stn.nc").layout.find("period").values = period_years();
}
dxtest::NcVar& var_of(std::vector<NcFixtureFile>& files, const char* file, const char* var) {
  return dxtest::file_of(files, file).layout.find(var);
}

struct SetCase {
  const char* name;
  NcFormat format;
  nc_type type;
  std::size_t stations;
  // Changes to the units attributes and the period coordinate; the arrays
  // then without a unit, and whether the store has the period values.
  void (*edit)(std::vector<NcFixtureFile>& files) = nullptr;
  std::vector<std::string> no_units = {};
  bool periods = true;
};
void PrintTo(const SetCase& c, std::ostream* os) { *os << c.name; }

const SetCase kSets[] = {
    {"classic_float", NcFormat::Classic, NC_FLOAT, 5},
    {"offset64_int", NcFormat::Offset64, NC_INT, 4},
    {"netcdf4_double", NcFormat::NetCDF4, NC_DOUBLE, 7},
    {"netcdf4_uint", NcFormat::NetCDF4, NC_UINT, 3},
    {"netcdf4_no_station", NcFormat::NetCDF4, NC_FLOAT, 0},
    {"classic_units_padded_or_missing",
     NcFormat::Classic,
     NC_FLOAT,
     4,
     [](std::vector<NcFixtureFile>& f) {
       var_of(f, "Num_Drou_Mon_Stn.nc", "N_Drou_mon").text_attrs = {
           {"units", std::string("unit of N_Drou_mon\0\0", 20)}};
       var_of(f, "Sen_Prob_idx_Stn.nc", "SenSL").text_attrs = {{"units", "unit of SenSL   "}};
       var_of(f, "Spell_Time_Arr_Stn.nc", "Spell_Max").text_attrs.clear();
       var_of(f, "Fre_Mag_Stn.nc", "Mag_scpdsi_sev").text_attrs.clear();
       var_of(f, "SPI_Stn.nc", "lat").text_attrs.clear();
     },
     {"Spell_Max", "magnitudes per period", "lat"}},
    // A class and a pair in the middle of their arrays.
    {"netcdf4_units_differ",
     NcFormat::NetCDF4,
     NC_FLOAT,
     3,
     [](std::vector<NcFixtureFile>& f) {
       var_of(f, "Fre_Mag_Stn.nc", "Fre_spi01_sev").text_attrs = {{"units", "days"}};
       var_of(f, "Prob_Tq_pdsi_spi_Stn.nc", "scpdsi_spi06").text_attrs = {{"units", "%"}};
     },
     {"frequencies per period", "p-values of the correlations"}},
    {"netcdf4_units_not_text",
     NcFormat::NetCDF4,
     NC_FLOAT,
     3,
     [](std::vector<NcFixtureFile>& f) {
       for (dxtest::NcVar* v :
            {&var_of(f, "Sen_Prob_idx_Stn.nc", "Prob"), &var_of(f, "Fre_Mag_Stn_all_period.nc", "Freq")}) {
         v->text_attrs.clear();
         v->attrs = {{"units", 1}};
       }
       dxtest::NcVar& reg = var_of(f, "SPI_Stn.nc", "reg");  // a string is text too
       std::swap(reg.string_attrs, reg.text_attrs);
     },
     {"Prob", "Freq"}},
    // The periods are those of the first per-period variable read.
    {"netcdf4_last_period_variable_without_coordinate", NcFormat::NetCDF4, NC_FLOAT, 3,
     [](std::vector<NcFixtureFile>& f) {
       dxtest::file_of(f, "Fre_Mag_Stn.nc").layout.dim("unnumbered_period", dx::kPeriods);
       var_of(f, "Fre_Mag_Stn.nc", "Mag_spi12_ext").dims.front() = "unnumbered_period";
     }},
    {"offset64_no_period_coordinate",
     NcFormat::Offset64,
     NC_FLOAT,
     3,
     [](std::vector<NcFixtureFile>& f) { dxtest::file_of(f, "Fre_Mag_Stn.nc").layout.remove("period"); },
     {},
     false},
    {"classic_period_coordinate_of_text",
     NcFormat::Classic,
     NC_FLOAT,
     3,
     [](std::vector<NcFixtureFile>& f) {
       dxtest::NcVar& p = var_of(f, "Fre_Mag_Stn.nc", "period");
       p.type = NC_CHAR;
       p.values.clear();
       p.text = "123456789012";
     },
     {},
     false},
};

class LoadResultSet : public ::testing::TestWithParam<SetCase> {};

TEST_P(LoadResultSet, FillsTheWholeStore) {
  const SetCase& c = GetParam();
  dxtest::TempDir dir;
  const std::string station_path = dir / "coords" + "_SPI_Stn.nc";
  dxtest::ResultSetOptions opt;
  opt.format = c.format;
  opt.type = c.type;
  opt.stations = c.stations;
  auto set = dxtest::result_set(dir.path(), station_path, opt);
  give_units_and_periods(set);
  if (c.edit) c.edit(set);
  dxtest::write_all(set);

  Loaded r;
  load(dir, station_path, r);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.io.err, "");
  const dx::Store& st = r.st;
  const std::size_t ns = c.stations;

  // Units without trailing blanks or NULs; none where the variables of an
  // array differ, or one has none or one that is not text.
  const std::vector<std::pair<std::string, const std::string*>> units_of = {
      {"N_Drou_mon", &st.NUM_DR_MON.units},
      {"SenSL", &st.SENSL.units},
      {"Prob", &st.PROB.units},
      {"Spell_Ave", &st.SPELL_AVE.units},
      {"Spell_Max", &st.SPELL_MAX.units},
      {"Time_Arr_Ave", &st.TIME_ARR_AVE.units},
      {"Time_Arr_Max", &st.TIME_ARR_MAX.units},
      {"Freq", &st.FRE_ALL.units},
      {"Mag", &st.MAG_ALL.units},
      {"frequencies per period", &st.FRE.units},
      {"magnitudes per period", &st.MAG.units},
      {"correlation coefficients", &st.TQ.units},
      {"p-values of the correlations", &st.PROB1.units},
      {"lon", &st.LON.units},
      {"lat", &st.LAT.units},
      {"reg", &st.REG.units}};
  for (const auto& [array, units] : units_of) {
    const bool none = std::find(c.no_units.begin(), c.no_units.end(), array) != c.no_units.end();
    EXPECT_EQ(*units, none ? "" : "unit of " + array) << array;
  }
  // The period coordinate of the per-period variables, where usable.
  const std::vector<double> years = c.periods ? period_years() : std::vector<double>{};
  EXPECT_EQ(std::vector<double>(st.PERIODS.data(), st.PERIODS.data() + st.PERIODS.size()), years);

  EXPECT_EQ(st.NSTN, static_cast<std::int32_t>(ns));
  EXPECT_EQ(st.NCOL_DRM, 18);
  EXPECT_EQ(st.NCOL_IDX, 6);
  EXPECT_EQ(st.NCLASS, 18);
  EXPECT_EQ(st.NPERIOD, 12);
  EXPECT_EQ(st.NPAIR, 12);
  EXPECT_EQ(st.STATUS, 0);

  expect_statistic(st.NUM_DR_MON, "N_Drou_mon", ns, 18);
  expect_statistic(st.SENSL, "SenSL", ns, 6);
  expect_statistic(st.PROB, "Prob", ns, 6);
  expect_statistic(st.SPELL_AVE, "Spell_Ave", ns, 18);
  expect_statistic(st.SPELL_MAX, "Spell_Max", ns, 18);
  expect_statistic(st.TIME_ARR_AVE, "Time_Arr_Ave", ns, 18);
  expect_statistic(st.TIME_ARR_MAX, "Time_Arr_Max", ns, 18);
  expect_statistic(st.FRE_ALL, "Freq", ns, 18);
  expect_statistic(st.MAG_ALL, "Mag", ns, 18);

  // Per period: class k holds the k-th Fre_/Mag_ variable of the reading
  // order (mod, sev, ext of pdsi, scpdsi, spi01, spi03, spi06, spi12),
  // transposed to (class, station, period).
  for (const auto* arr : {&st.FRE, &st.MAG}) {
    ASSERT_EQ(arr->extent(0), 18u);
    ASSERT_EQ(arr->extent(1), ns);
    ASSERT_EQ(arr->extent(2), 12u);
  }
  for (std::size_t k = 0; k < 18; ++k)
    for (std::size_t s = 0; s < ns; ++s)
      for (std::size_t p = 0; p < 12; ++p) {
        ASSERT_EQ(st.FRE(k, s, p), static_cast<float>(result_value(dxtest::kPeriodVarNames[2 * k], s, p)))
            << "class " << k << " station " << s << " period " << p;
        ASSERT_EQ(st.MAG(k, s, p), static_cast<float>(result_value(dxtest::kPeriodVarNames[2 * k + 1], s, p)))
            << "class " << k << " station " << s << " period " << p;
      }

  ASSERT_EQ(st.TQ.extent(0), ns);
  ASSERT_EQ(st.TQ.extent(1), 12u);
  ASSERT_EQ(st.PROB1.extent(0), ns);
  ASSERT_EQ(st.PROB1.extent(1), 12u);
  for (std::size_t j = 0; j < 12; ++j)
    for (std::size_t s = 0; s < ns; ++s) {
      ASSERT_EQ(st.TQ(s, j), static_cast<float>(result_value(dxtest::kPairVarNames[j], s, 0)));
      ASSERT_EQ(st.PROB1(s, j), static_cast<float>(result_value("p:" + dxtest::kPairVarNames[j], s, 0)));
    }

  for (const auto& [arr, var] : {std::pair{&st.LON, "lon"}, std::pair{&st.LAT, "lat"}, std::pair{&st.REG, "reg"}}) {
    ASSERT_EQ(arr->size(), ns) << var;
    for (std::size_t s = 0; s < ns; ++s) ASSERT_EQ((*arr)(s), static_cast<float>(result_value(var, s, 0))) << var;
  }

  ASSERT_EQ(st.STATION.size(), ns);
  if (ns >= 2) {
    EXPECT_EQ(st.STATION[0], "Station_001          ");
    EXPECT_EQ(st.STATION[1], "Station_002          ");
  }
  // The last coordinate read stays; the others are released.
  EXPECT_EQ(st.XSTN.size(), ns);
  EXPECT_FALSE(st.XIDX.allocated());

  // 45 two-dimensional and 27 one-dimensional reads, in file order.
  const std::vector<std::string> lines = dxtest::lines_of(r.io.out);
  EXPECT_EQ(lines.size(), 45u * 4 + 27u * 3);
  std::vector<std::string> files;
  const std::string start = "    Reading netCDF file: ";
  for (const std::string& l : lines)
    if (l.rfind(start, 0) == 0) files.push_back(l.substr(start.size(), l.size() - start.size() - 3));
  std::vector<std::string> expected;
  for (const auto& [name, n] : {std::pair{"Num_Drou_Mon_Stn.nc", 1},
                                {"Sen_Prob_idx_Stn.nc", 2},
                                {"Spell_Time_Arr_Stn.nc", 4},
                                {"Fre_Mag_Stn_all_period.nc", 2},
                                {"Fre_Mag_Stn.nc", 36},
                                {"Tq_pdsi_spi_Stn.nc", 12},
                                {"Prob_Tq_pdsi_spi_Stn.nc", 12}})
    expected.insert(expected.end(), static_cast<std::size_t>(n), name);
  expected.insert(expected.end(), 3, station_path);
  EXPECT_EQ(files, expected);
  ASSERT_GE(lines.size(), 4u);
  char len[13];
  std::snprintf(len, sizeof len, "%12zu", ns);
  EXPECT_EQ(lines[1], std::string("       - Longitude's name = stn            ; length = ") + len);
  EXPECT_EQ(lines[2], "       - Latitude's name  = class          ; length =           18");
  EXPECT_EQ(lines[3], "    Completed reading file Num_Drou_Mon_Stn.nc");
}

INSTANTIATE_TEST_SUITE_P(Sets, LoadResultSet, ::testing::ValuesIn(kSets),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LoadResultSet, ExtraColumnsAreKeptAndCounted) {
  dxtest::TempDir dir;
  const std::string station_path = dir / "SPI_Stn.nc";
  dxtest::ResultSetOptions opt;
  opt.drm_cols = 20;
  opt.idx_cols = 8;
  opt.class_cols = 19;
  dxtest::write_all(dxtest::result_set(dir.path(), station_path, opt));

  Loaded r;
  load(dir, station_path, r);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.st.NCOL_DRM, 20);
  EXPECT_EQ(r.st.NCOL_IDX, 8);
  EXPECT_EQ(r.st.NCLASS, 18);
  expect_statistic(r.st.NUM_DR_MON, "N_Drou_mon", 3, 20);
  expect_statistic(r.st.SENSL, "SenSL", 3, 8);
  expect_statistic(r.st.MAG_ALL, "Mag", 3, 19);
}

TEST(LoadResultSet, StationNamesBeyond999AreAsterisks) {
  dxtest::TempDir dir;
  const std::string station_path = dir / "SPI_Stn.nc";
  dxtest::ResultSetOptions opt;
  opt.stations = 1001;
  dxtest::write_all(dxtest::result_set(dir.path(), station_path, opt));

  Loaded r;
  load(dir, station_path, r);
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.st.STATION.size(), 1001u);
  EXPECT_EQ(r.st.STATION[6], "Station_007          ");
  EXPECT_EQ(r.st.STATION[998], "Station_999          ");
  EXPECT_EQ(r.st.STATION[999], "Station_***          ");
  EXPECT_EQ(r.st.STATION[1000], "Station_***          ");
}

// ---- Inconsistent sets are refused ---------------------------------------

// Puts variable `var` of `file` on dimensions (`cols`, a station dimension
// of `stations`), filled with ones.
void reshape(std::vector<NcFixtureFile>& files, const char* file, const char* var, std::size_t cols,
             std::size_t stations) {
  dxtest::NcLayout& f = dxtest::file_of(files, file).layout;
  const std::string cdim = std::string("c_") + var, sdim = std::string("s_") + var;
  if (cols > 0) f.dim(cdim, cols);
  f.dim(sdim, stations);
  dxtest::NcVar& v = f.find(var);
  v.dims = cols == 0 ? std::vector<std::string>{sdim} : std::vector<std::string>{cdim, sdim};
  v.values.assign(std::max<std::size_t>(cols, 1) * stations, 1.0);
}

struct BadSetCase {
  const char* name;
  dxtest::ResultSetOptions opt;
  void (*spoil)(std::vector<NcFixtureFile>& files, const std::string& dir);
  std::string (*message)(const std::string& station_path);
};
void PrintTo(const BadSetCase& c, std::ostream* os) { *os << c.name; }

dxtest::ResultSetOptions with(std::size_t drm, std::size_t idx, std::size_t cls, std::size_t per) {
  dxtest::ResultSetOptions o;
  o.drm_cols = drm;
  o.idx_cols = idx;
  o.class_cols = cls;
  o.periods = per;
  return o;
}
void unchanged(std::vector<NcFixtureFile>&, const std::string&) {}

const BadSetCase kBadSets[] = {
    {"few_drought_month_columns", with(17, 6, 18, 12), unchanged,
     [](const std::string&) -> std::string {
       return "Num_Drou_Mon_Stn.nc: variable N_Drou_mon has 17 columns, expected at least 18";
     }},
    // Declared only, 1.2 GB of values: refused before a value is read.
    {"sparse_variable_of_one_column", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) {
       dxtest::NcLayout& layout = dxtest::file_of(f, "Num_Drou_Mon_Stn.nc").layout;
       layout.dim("c_sparse", 1).dim("s_sparse", 300000000);
       dxtest::NcVar& v = layout.find("N_Drou_mon");
       v.dims = {"c_sparse", "s_sparse"};
       v.values.clear();
     },
     [](const std::string&) -> std::string {
       return "Num_Drou_Mon_Stn.nc: variable N_Drou_mon has 1 columns, expected at least 18";
     }},
    {"few_index_columns", with(18, 5, 18, 12), unchanged,
     [](const std::string&) -> std::string {
       return "Sen_Prob_idx_Stn.nc: variable SenSL has 5 columns, expected at least 6";
     }},
    {"p_values_wider_than_slopes", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) { reshape(f, "Sen_Prob_idx_Stn.nc", "Prob", 7, 3); },
     [](const std::string&) -> std::string {
       return "Sen_Prob_idx_Stn.nc: variable Prob has 7 columns, but SenSL has only 6";
     }},
    {"few_class_columns", with(18, 6, 17, 12), unchanged,
     [](const std::string&) -> std::string {
       return "Spell_Time_Arr_Stn.nc: variable Spell_Ave has 17 columns, expected at least 18";
     }},
    {"spell_stations_differ", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) { reshape(f, "Spell_Time_Arr_Stn.nc", "Spell_Max", 18, 4); },
     [](const std::string&) -> std::string {
       return "Spell_Time_Arr_Stn.nc: variable Spell_Max describes 4 stations, but Num_Drou_Mon_Stn.nc describes 3";
     }},
    {"eleven_periods", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) { reshape(f, "Fre_Mag_Stn.nc", "Fre_spi03_sev", 11, 3); },
     [](const std::string&) -> std::string {
       return "Fre_Mag_Stn.nc: variable Fre_spi03_sev has 11 periods, expected 12";
     }},
    {"thirteen_periods_everywhere", with(18, 6, 18, 13), unchanged,
     [](const std::string&) -> std::string {
       return "Fre_Mag_Stn.nc: variable Fre_pdsi_mod has 13 periods, expected 12";
     }},
    {"period_stations_differ", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) { reshape(f, "Fre_Mag_Stn.nc", "Mag_spi12_ext", 12, 2); },
     [](const std::string&) -> std::string {
       return "Fre_Mag_Stn.nc: variable Mag_spi12_ext describes 2 stations, but Num_Drou_Mon_Stn.nc describes 3";
     }},
    {"period_variable_is_text", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) {
       dxtest::NcVar& v = dxtest::file_of(f, "Fre_Mag_Stn.nc").layout.find("Mag_pdsi_sev");
       v.type = NC_CHAR;
       v.values.clear();
       v.text = "hostile";
     },
     [](const std::string&) -> std::string {
       return "Fre_Mag_Stn.nc: variable Mag_pdsi_sev is of type char, not numeric";
     }},
    {"pair_stations_differ", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) {
       reshape(f, "Prob_Tq_pdsi_spi_Stn.nc", "scpdsi_spi06", 0, 5);
     },
     [](const std::string&) -> std::string {
       return "Prob_Tq_pdsi_spi_Stn.nc: variable scpdsi_spi06 describes 5 stations, "
              "but Num_Drou_Mon_Stn.nc describes 3";
     }},
    {"correlation_file_missing", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string&) {
       f.erase(std::find_if(f.begin(), f.end(),
                            [](const NcFixtureFile& x) { return x.path.ends_with("/Tq_pdsi_spi_Stn.nc"); }));
     },
     [](const std::string&) -> std::string {
       return "Tq_pdsi_spi_Stn.nc: cannot open the file to read variable pdsi_spi01: No such file or directory";
     }},
    {"longitudes_of_other_stations", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string& station_path) {
       reshape(f, station_path.c_str(), "lon", 0, 4);
     },
     [](const std::string& sp) {
       return sp + ": variable lon describes 4 stations, but Num_Drou_Mon_Stn.nc describes 3";
     }},
    {"region_codes_missing", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string& station_path) {
       dxtest::file_of(f, station_path).layout.remove("reg");
     },
     [](const std::string& sp) {
       return sp + ": variable reg: cannot find it in the file: " + nc_strerror(NC_ENOTVAR);
     }},
    {"result_file_as_station_file", with(18, 6, 18, 12),
     [](std::vector<NcFixtureFile>& f, const std::string& station_path) {
       dxtest::file_of(f, station_path).layout.remove("lon");
     },
     [](const std::string& sp) {
       return sp + ": variable lon: cannot find it in the file: " + nc_strerror(NC_ENOTVAR) +
              " (is this the station-coordinate file, with lon, lat and reg?)";
     }},
};

class RefusedSet : public ::testing::TestWithParam<BadSetCase> {};

TEST_P(RefusedSet, NamesFileVariableAndNumbers) {
  const BadSetCase& c = GetParam();
  dxtest::TempDir dir;
  const std::string station_path = dir / "SPI_Stn.nc";
  auto files = dxtest::result_set(dir.path(), station_path, c.opt);
  c.spoil(files, station_path);
  dxtest::write_all(files);

  rusage before{};
  ASSERT_EQ(getrusage(RUSAGE_SELF, &before), 0);
  Loaded r;
  load(dir, station_path, r);
  EXPECT_EQ(r.error, c.message(station_path));
  // A refused variable is refused before its values are read: a large one
  // never becomes resident.
  rusage after{};
  ASSERT_EQ(getrusage(RUSAGE_SELF, &after), 0);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 200 * 1024) << "kB resident";
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedSet, ::testing::ValuesIn(kBadSets),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The program stops before writing anything ---------------------------

TEST(LoadFailure, ProgramExitsWithStatusOneAndWritesNothing) {
  dxtest::TempDir dir;
  auto files = dxtest::result_set(dir.path(), dir / "SPI_Stn.nc");
  reshape(files, "Fre_Mag_Stn.nc", "Fre_spi03_sev", 11, 3);
  dxtest::write_all(files);
  const std::vector<std::string> before = dxtest::list_dir(dir.path());

  const dxtest::Outcome r = dxtest::run({.argv = {DX_BINARY, "-s", "SPI_Stn.nc"}, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "drought-export: error: Fre_Mag_Stn.nc: variable Fre_spi03_sev has 11 periods, expected 12\n");
  EXPECT_TRUE(r.out.ends_with("    Completed reading file Fre_Mag_Stn.nc\n")) << r.out;
  EXPECT_EQ(dxtest::list_dir(dir.path()), before);
}

}  // namespace
