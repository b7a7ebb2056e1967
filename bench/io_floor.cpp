// The I/O floor of a drought-export run: only the work that no implementation
// can avoid.  In the working folder it reads every variable that a run reads,
// through the netCDF library, as 32-bit floats, and writes files of exactly
// the sizes a run writes (text tables, GrADS data files and descriptors),
// from a constant buffer, with the same write sizes and the same atomic
// replacement.  Output names carry the prefix "floor_" so that they do not
// replace the tool's own outputs.
//
//   dx-io-floor [STATION_FILE]
#include <netcdf.h>

#include <cstdio>
#include <exception>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/out_file.hpp"

namespace {

[[noreturn]] void die(const std::string& what, int status) {
  std::fprintf(stderr, "dx-io-floor: %s: %s\n", what.c_str(), nc_strerror(status));
  std::exit(1);
}

struct Read {
  std::size_t n1 = 0, n2 = 1;
};

// Reads one whole variable; returns its first (fastest) and second lengths.
Read read_var(const std::string& file, const std::string& var, std::vector<float>& buf) {
  int nc = 0, id = 0, ndims = 0, st;
  if ((st = nc_open(file.c_str(), NC_NOWRITE, &nc))) die(file, st);
  if ((st = nc_inq_varid(nc, var.c_str(), &id))) die(file + " " + var, st);
  int dims[NC_MAX_VAR_DIMS];
  if ((st = nc_inq_var(nc, id, nullptr, nullptr, &ndims, dims, nullptr))) die(file + " " + var, st);
  Read r;
  std::size_t len = 0;
  if ((st = nc_inq_dimlen(nc, dims[ndims - 1], &len))) die(file, st);
  r.n1 = len;
  if (ndims == 2) {
    if ((st = nc_inq_dimlen(nc, dims[0], &len))) die(file, st);
    r.n2 = len;
  }
  buf.resize(r.n1 * r.n2);
  if ((st = nc_get_var_float(nc, id, buf.data()))) die(file + " " + var, st);
  if ((st = nc_close(nc))) die(file, st);
  return r;
}

const char* const kIdx[] = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};
const char* const kCls[] = {"mod", "sev", "ext"};
const char* const kPairs[] = {"pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
                              "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
                              "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

std::vector<char> g_const(std::size_t{8} << 20, 'x');

// A text table: title, header and one line per station, line by line.
void text_table(const std::string& name, std::size_t nstn, std::size_t ncol) {
  dx::OutFile out("floor_" + name);
  const std::size_t line = 20 + 12 * ncol + 1;
  out.write(g_const.data(), 101);
  for (std::size_t i = 0; i <= nstn; ++i) {
    out.write(g_const.data(), line);
    out.flush_if_full();
  }
  out.commit();
}

// A GrADS data set: one write per time group, then the nine-line descriptor.
void data_set(const std::string& base, const std::string& var, std::size_t nstn, std::size_t ncol) {
  {
    dx::OutFile out("floor_" + base + ".dat");
    const std::size_t group = nstn * 32 + 28;
    if (g_const.size() < group) g_const.resize(group, 'x');
    for (std::size_t k = 0; k < ncol; ++k) out.write(g_const.data(), group);
    out.commit();
  }
  dx::OutFile ctl("floor_" + base + ".ctl");
  const std::size_t n = base.size();
  ctl.write(g_const.data(), (12 + n) + 14 + (17 + n) + 17 + 24 + 29 + 9 + (var.size() + 13) + 8);
  ctl.commit();
}

}  // namespace

int floor_run(int argc, char** argv) {
  const std::string stn_file = argc > 1 ? argv[1] : "/home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc";
  std::vector<float> buf;
  std::size_t ncol_drm = read_var("Num_Drou_Mon_Stn.nc", "N_Drou_mon", buf).n2;
  read_var("Sen_Prob_idx_Stn.nc", "SenSL", buf);
  std::size_t ncol_idx = read_var("Sen_Prob_idx_Stn.nc", "Prob", buf).n2;
  for (const char* v : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max"})
    read_var("Spell_Time_Arr_Stn.nc", v, buf);
  for (const char* v : {"Freq", "Mag"}) read_var("Fre_Mag_Stn_all_period.nc", v, buf);
  for (const char* c : kCls)
    for (const char* i : kIdx)
      for (const char* fm : {"Fre_", "Mag_"})
        read_var("Fre_Mag_Stn.nc", std::string(fm) + i + "_" + c, buf);
  for (const char* f : {"Tq_pdsi_spi_Stn.nc", "Prob_Tq_pdsi_spi_Stn.nc"})
    for (const char* p : kPairs) read_var(f, p, buf);
  std::size_t nstn = 0;
  for (const char* v : {"lon", "lat", "reg"}) nstn = read_var(stn_file, v, buf).n1;

  for (const auto& [name, ncol] : std::vector<std::pair<std::string, std::size_t>>{
           {"Num_Dr_Mon.txt", 18}, {"Fre_all.txt", 18}, {"Mag_all.txt", 18}, {"Sensl.txt", 6},
           {"Prob_Sensl.txt", 6}, {"Spell_Ave.txt", 18}, {"Spell_Max.txt", 18},
           {"Time_Interval_Ave.txt", 18}, {"Time_Interval_Max.txt", 18}, {"Corre_IDX.txt", 12},
           {"Prob_Corre_IDX.txt", 12}})
    text_table(name, nstn, ncol);
  data_set("Num_Dr_Mon", "Dr_Mon", nstn, ncol_drm);
  data_set("Sensl", "Sensl", nstn, ncol_idx);
  data_set("Prob", "Prob", nstn, ncol_idx);
  for (const char* b : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max", "Fre_all", "Mag_all"})
    data_set(b, b, nstn, 18);
  data_set("Corre", "Corre", nstn, 12);
  data_set("Prob1", "Prob1", nstn, 12);
  char name[16];
  for (int p = 1; p <= 12; ++p) {
    std::snprintf(name, sizeof name, "Fre_%02d", p);
    data_set(name, "Fre", nstn, 18);
    std::snprintf(name, sizeof name, "Mag_%02d", p);
    data_set(name, "Mag", nstn, 18);
  }
  return 0;
}

int main(int argc, char** argv) {
  try {
    return floor_run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dx-io-floor: %s\n", e.what());
    return 1;
  }
}
