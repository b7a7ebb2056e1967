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
//   dx-io-floor [kStationFile]
#include <netcdf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "input/result_files.hpp"
#include "output/out_file.hpp"
#include "output/catalogue.hpp"

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

// The reads of one run: every read lands in the same two buffers, and
// consecutive reads of one file share its opening.
class Reader {
 public:
  ~Reader() {
    if (!open_file_.empty()) nc_close(open_id_);
  }

  // Reads one whole variable with its coordinates; returns its first
  // (fastest) and second lengths.
  Read read_var(const std::string& file, const std::string& var) {
    int id = 0, ndims = 0, st;
    if (file != open_file_) {
      close();
      std::size_t chunk = kReadChunk;
      if ((st = nc__open(file.c_str(), NC_NOWRITE, &chunk, &open_id_))) die(file, st);
      open_file_ = file;
    }
    const int nc = open_id_;
    if ((st = nc_inq_varid(nc, var.c_str(), &id))) die(file + " " + var, st);
    int dims[NC_MAX_VAR_DIMS];
    if ((st = nc_inq_var(nc, id, nullptr, nullptr, &ndims, dims, nullptr))) die(file + " " + var, st);
    Read r;
    if ((st = nc_inq_dimlen(nc, dims[ndims - 1], &r.n1))) die(file, st);
    if (ndims == 2 && (st = nc_inq_dimlen(nc, dims[0], &r.n2))) die(file, st);
    for (int d = ndims; d-- > 0;) read_coordinate(nc, dims[d], file);
    values_.resize(std::max<std::size_t>(r.n1 * r.n2, 1));
    if ((st = nc_get_var_float(nc, id, values_.data()))) die(file + " " + var, st);
    return r;
  }

  void close() {
    if (open_file_.empty()) return;
    if (const int st = nc_close(open_id_)) die(open_file_, st);
    open_file_.clear();
  }

 private:
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
    coords_.resize(std::max<std::size_t>(len, 1));
    if ((st = nc_get_var_float(nc, cid, coords_.data()))) die(file + " " + name, st);
  }

  std::vector<float> values_, coords_;
  std::string open_file_;
  int open_id_ = -1;
};

// A text table: the title line, the header line and one line per station,
// each appended to the file's buffer, which is written out whenever it is
// full (the tool's write sizes).
void text_table(dx::OutputSink& sink, const std::string& name, std::size_t nstn, std::size_t ncol) {
  dx::OutFile out(sink, "floor_" + name);
  const std::string title(101, 'x'), line(20 + 12 * ncol + 1, 'x');
  out.buffer().append(title);
  for (std::size_t i = 0; i <= nstn; ++i) {
    out.buffer().append(line);
    out.flush_if_full();
  }
  out.commit();
}

// A GrADS data set: one write per time group, then the nine-line descriptor
// in one write.
void data_set(dx::OutputSink& sink, const std::string& base, std::string_view var, std::size_t nstn, std::size_t ncol) {
  {
    dx::OutFile out(sink, "floor_" + base + ".dat");
    const std::size_t group = nstn * 32 + 28;
    std::fill_n(sink.reusable(0, group), group, 'x');
    for (std::size_t k = 0; k < ncol; ++k) out.write_reusable(0, group);
    out.commit();
  }
  dx::OutFile ctl(sink, "floor_" + base + ".ctl");
  const std::size_t n = base.size();
  const std::size_t size = (12 + n) + 14 + (17 + n) + 17 + 24 + 29 + 9 + (var.size() + 13) + 8;
  ctl.buffer().append(size, 'x');
  ctl.commit();
}

}  // namespace

int floor_run(int argc, char** argv) {
  const std::string stn_file(argc > 1 ? std::string(argv[1]) : std::string(dx::kStationFile));
  // Every read of a run, in its order.  The run counts follow the loader:
  // the statistics' own column counts, that of Prob for the index sets.
  Reader reader;
  dx::Store st;
  std::size_t stat_cols = 0;  // statistic columns as allocated (each with its own length)
  std::size_t nperiod = 0, nstn = 0;
  for (const dx::InputVar& v : dx::input_reads()) {
    const std::string_view name = dx::kInputFileNames[static_cast<std::size_t>(v.file)];
    const bool station = v.file == dx::kStationInput, period = name == dx::kPeriodFile;
    const Read r = reader.read_var(station ? stn_file : std::string(name), v.var);
    if (station) nstn = r.n1;
    if (period) nperiod = r.n2;
    if (v.rank == 2 && !period) {
      stat_cols += r.n2;
      if (v.var == "N_Drou_mon") st.NCOL_DRM = static_cast<std::int32_t>(r.n2);
      if (v.var == "Prob") st.NCOL_IDX = static_cast<std::int32_t>(r.n2);
    }
  }
  reader.close();
  st.NCLASS = dx::kClasses;
  st.NPAIR = dx::kPairs;

  const std::uint64_t store_floats = nstn * (stat_cols + 2 * dx::kClasses * dx::kPeriods + 2 * dx::kPairs +
                                             4 /* lon lat reg, coordinates */ + dx::kClasses /* work array */);
  std::printf("store_bytes %llu\n", static_cast<unsigned long long>(store_floats * 4 + nstn * dx::kStationLen));

  // On one thread, as the floor of what a run must do.
  dx::DirectSink sink;
  for (const dx::Statistic* t : dx::statistics_in_table_order())
    text_table(sink, std::string(t->table), nstn, static_cast<int>(t->names.size()));
  for (const dx::Statistic& d : dx::kStatistics)
    data_set(sink, std::string(d.base), d.var, nstn, static_cast<std::size_t>(st.*d.ncol));
  for (std::int32_t p = 1; p <= std::min<std::int32_t>(static_cast<std::int32_t>(nperiod), dx::kPeriods); ++p)
    for (const dx::PeriodStatistic& s : dx::kPeriodStatistics)
      data_set(sink, dx::period_base(s.prefix, p), s.var, nstn, dx::kClasses);
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
