// The I/O floor of a drought-export run: only the work that no implementation
// can avoid.  In the working folder it reads every variable that a run reads
// (each requested variable and the coordinate variables of its dimensions,
// one open per run of consecutive reads of a file, as the tool opens them,
// with the same read-buffer hint), through the netCDF
// library, as 32-bit floats, into one reused buffer; and it writes files of
// exactly the sizes a run writes (text tables, GrADS data files and
// descriptors), from a constant buffer, with the same write sizes and the
// same atomic replacement.  Output names carry the prefix "floor_" so that
// they do not replace the tool's own outputs.
//
// On standard output it prints one line "store_bytes N": the bytes of the
// result store that a run holds, computed from the run counts found in the
// files (statistic arrays, per-period arrays, station coordinates, the
// station coordinate values kept by the last read, the work array of the
// per-period loop and the 21-character station names).
//
//   dx-io-floor [STATION_FILE]
#include <netcdf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "output/out_file.hpp"

namespace {

// Same read-buffer hint as the tool's readers.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

[[noreturn]] void die(const std::string& what, int status) {
  std::fprintf(stderr, "dx-io-floor: %s: %s\n", what.c_str(), nc_strerror(status));
  std::exit(1);
}

struct Read {
  std::size_t n1 = 0, n2 = 1;
};

std::vector<float> g_values;  // every read lands here
std::vector<float> g_coords;

// Reads the coordinate variable of one dimension, if the file has one.
void read_coordinate(int nc, int dim, const std::string& file) {
  char name[NC_MAX_NAME + 1] = {};
  std::size_t len = 0;
  int st;
  if ((st = nc_inq_dim(nc, dim, name, &len))) die(file, st);
  int cid = -1, ndims = 0;
  if (nc_inq_varid(nc, name, &cid) != NC_NOERR) return;
  if ((st = nc_inq_varndims(nc, cid, &ndims))) die(file, st);
  if (ndims != 1) return;
  g_coords.resize(std::max<std::size_t>(len, 1));
  if ((st = nc_get_var_float(nc, cid, g_coords.data()))) die(file + " " + name, st);
}

// The file open for consecutive reads.
std::string g_open_file;
int g_open_id = -1;

void close_open_file() {
  if (g_open_file.empty()) return;
  if (const int st = nc_close(g_open_id)) die(g_open_file, st);
  g_open_file.clear();
}

// Reads one whole variable with its coordinates; returns its first (fastest)
// and second lengths.
Read read_var(const std::string& file, const std::string& var) {
  int id = 0, ndims = 0, st;
  if (file != g_open_file) {
    close_open_file();
    std::size_t chunk = kReadChunk;
    if ((st = nc__open(file.c_str(), NC_NOWRITE, &chunk, &g_open_id))) die(file, st);
    g_open_file = file;
  }
  const int nc = g_open_id;
  if ((st = nc_inq_varid(nc, var.c_str(), &id))) die(file + " " + var, st);
  int dims[NC_MAX_VAR_DIMS];
  if ((st = nc_inq_var(nc, id, nullptr, nullptr, &ndims, dims, nullptr))) die(file + " " + var, st);
  Read r;
  if ((st = nc_inq_dimlen(nc, dims[ndims - 1], &r.n1))) die(file, st);
  if (ndims == 2 && (st = nc_inq_dimlen(nc, dims[0], &r.n2))) die(file, st);
  for (int d = ndims; d-- > 0;) read_coordinate(nc, dims[d], file);
  g_values.resize(std::max<std::size_t>(r.n1 * r.n2, 1));
  if ((st = nc_get_var_float(nc, id, g_values.data()))) die(file + " " + var, st);
  return r;
}

const char* const kIdx[] = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};
const char* const kCls[] = {"mod", "sev", "ext"};
const char* const kPairs[] = {"pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
                              "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
                              "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

// The constant bytes written, grown to the largest single write.
std::vector<char> g_const;

const char* constant(std::size_t n) {
  if (g_const.size() < n) g_const.resize(n, 'x');
  return g_const.data();
}

// A text table: the title line, the header line and one line per station,
// each appended to the file's buffer, which is written out whenever it is
// full (the tool's write sizes).
void text_table(const std::string& name, std::size_t nstn, std::size_t ncol) {
  dx::OutFile out("floor_" + name);
  const std::size_t line = 20 + 12 * ncol + 1;
  out.buffer().append(constant(101), 101);
  for (std::size_t i = 0; i <= nstn; ++i) {
    out.buffer().append(constant(line), line);
    out.flush_if_full();
  }
  out.commit();
}

// A GrADS data set: one write per time group, then the nine-line descriptor
// in one write.
void data_set(const std::string& base, const std::string& var, std::size_t nstn, std::size_t ncol) {
  {
    dx::OutFile out("floor_" + base + ".dat");
    const std::size_t group = nstn * 32 + 28;
    for (std::size_t k = 0; k < ncol; ++k) out.write(constant(group), group);
    out.commit();
  }
  dx::OutFile ctl("floor_" + base + ".ctl");
  const std::size_t n = base.size();
  const std::size_t size = (12 + n) + 14 + (17 + n) + 17 + 24 + 29 + 9 + (var.size() + 13) + 8;
  ctl.write(constant(size), size);
  ctl.commit();
}

}  // namespace

int floor_run(int argc, char** argv) {
  const std::string stn_file = argc > 1 ? argv[1] : "/home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc";
  // Statistic columns as allocated by the loader (each with its own length).
  std::size_t stat_cols = 0;
  const auto stat = [&](const char* file, const char* var) {
    const std::size_t n2 = read_var(file, var).n2;
    stat_cols += n2;
    return n2;
  };
  const std::size_t ncol_drm = stat("Num_Drou_Mon_Stn.nc", "N_Drou_mon");
  stat("Sen_Prob_idx_Stn.nc", "SenSL");
  const std::size_t ncol_idx = stat("Sen_Prob_idx_Stn.nc", "Prob");
  for (const char* v : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max"}) stat("Spell_Time_Arr_Stn.nc", v);
  for (const char* v : {"Freq", "Mag"}) stat("Fre_Mag_Stn_all_period.nc", v);
  std::size_t nperiod = 0;
  for (const char* c : kCls)
    for (const char* i : kIdx)
      for (const char* fm : {"Fre_", "Mag_"})
        nperiod = read_var("Fre_Mag_Stn.nc", std::string(fm) + i + "_" + c).n2;
  for (const char* f : {"Tq_pdsi_spi_Stn.nc", "Prob_Tq_pdsi_spi_Stn.nc"})
    for (const char* p : kPairs) read_var(f, p);
  std::size_t nstn = 0;
  for (const char* v : {"lon", "lat", "reg"}) nstn = read_var(stn_file, v).n1;
  close_open_file();

  // The run's counts: 18 classes, 12 pairs, 12 periods in FRE and MAG.
  constexpr std::size_t kClasses = 18, kPairCount = 12, kPeriods = 12;
  const std::uint64_t store_floats =
      nstn * (stat_cols + 2 * kClasses * kPeriods + 2 * kPairCount + 4 /* lon lat reg, coordinates */ +
              kClasses /* work array */);
  std::printf("store_bytes %llu\n", static_cast<unsigned long long>(store_floats * 4 + nstn * 21));

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
    data_set(b, b, nstn, kClasses);
  data_set("Corre", "Corre", nstn, kPairCount);
  data_set("Prob1", "Prob1", nstn, kPairCount);
  char name[16];
  for (std::size_t p = 1; p <= std::min(nperiod, kPeriods); ++p) {
    std::snprintf(name, sizeof name, "Fre_%02zu", p);
    data_set(name, "Fre", nstn, kClasses);
    std::snprintf(name, sizeof name, "Mag_%02zu", p);
    data_set(name, "Mag", nstn, kClasses);
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
