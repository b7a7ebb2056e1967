#include "input/loader.hpp"

#include <netcdf.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/format.hpp"
#include "input/memory.hpp"
#include "input/nc_reader.hpp"
#include "input/result_files.hpp"

namespace dx {
namespace {

// Classes of FRE and MAG filled in one pass over those arrays.
constexpr std::size_t kPeriodBatch = 3;

// The station count of the first file read; every later variable must
// describe the same stations.
struct StationCount {
  std::int32_t n = 0;
  std::string_view file;

  void check(std::string_view file_read, std::string_view var, std::int32_t got) const {
    if (got != n) {
      throw Error(std::string(file_read) + ": variable " + std::string(var) + " describes " +
                  std::to_string(got) + " stations, but " + std::string(file) + " describes " +
                  std::to_string(n));
    }
  }
};

// Allocates one of the loader's own arrays, sized by the station count
// of `ref`, refusing what cannot fit the machine's memory or the memory
// this run can still obtain.
template <std::size_t R>
void allocate_for(const StationCount& ref, std::string_view what, ColArray<R>& a,
                  const typename ColArray<R>::Extents& ext) {
  std::uint64_t n = 1;
  for (std::size_t e : ext) n *= e;  // at most 18 x 12 x 2^31: no overflow
  const std::uint64_t bytes = n * sizeof(float);
  const std::string why = std::string(ref.file) + ": " + std::to_string(ref.n) + " stations: the " +
                          std::string(what) + " need " + std::to_string(bytes) + " bytes";
  for (const std::string& beyond : {beyond_machine_memory(bytes), beyond_obtainable_memory(bytes)})
    if (!beyond.empty()) throw Error(why + ", " + beyond);
  try {
    a.allocate(ext);
  } catch (const std::bad_alloc&) {
    throw Error(why + ": not enough memory");
  }
}

// The text tables print a fixed number of columns of each statistic.
void check_min_columns(std::string_view file, std::string_view var, std::int32_t got,
                       std::int32_t needed) {
  if (got < needed) {
    throw Error(std::string(file) + ": variable " + std::string(var) + " has " + std::to_string(got) +
                " columns, expected at least " + std::to_string(needed));
  }
}

// The reads of the catalogue, taken in their order.
class Reads {
 public:
  Reads(std::string_view station_file, std::string_view station_name)
      : station_file_(station_file), station_name_(station_name.empty() ? station_file : station_name) {}
  const InputVar& next() { return all_.at(next_++); }
  // The path of the file of a read.
  std::string_view file(const InputVar& v) const {
    return v.file == kStationInput ? station_file_ : kInputFileNames[static_cast<std::size_t>(v.file)];
  }
  // The name of the file of a read in messages.
  std::string_view name(const InputVar& v) const { return v.file == kStationInput ? station_name_ : file(v); }
  bool done() const { return next_ == all_.size(); }

 private:
  const std::vector<InputVar>& all_ = input_reads();
  std::size_t next_ = 0;
  std::string_view station_file_;
  std::string_view station_name_;
};

// Reads the next statistic (station, column) of the catalogue; its shape
// is checked before it is read.
void read_statistic(NcOpenings& files, Reads& reads, Store& st, const StationCount& ref, Array2& dst,
                    std::int32_t& ncol) {
  const InputVar& v = reads.next();
  const std::string_view file = reads.file(v);
  rd_ncdf_2d(files, file, st.XSTN, st.XIDX, st.NSTN, ncol, dst, v.var, st.STATUS,
             [&](std::int32_t nstn, std::int32_t n) {
               ref.check(file, v.var, nstn);
               check_min_columns(file, v.var, n, v.min_columns);
             });
  st.XSTN.release();
  st.XIDX.release();
}

// Reads the next per-period variable (station, period) into a work matrix.
void read_period_variable(NcOpenings& files, Reads& reads, Store& st, const StationCount& ref, Array2& work) {
  const InputVar& v = reads.next();
  const std::string_view file = reads.file(v);
  rd_ncdf_2d(files, file, st.XSTN, st.XIDX, st.NSTN, st.NPERIOD, work, v.var, st.STATUS,
             [&](std::int32_t nstn, std::int32_t nperiod) {
               ref.check(file, v.var, nstn);
               if (nperiod != v.min_columns) {
                 throw Error(std::string(file) + ": variable " + v.var + " has " + std::to_string(nperiod) +
                             " periods, expected " + std::to_string(v.min_columns));
               }
             });
  st.XSTN.release();
  st.XIDX.release();
}

// Copies the work matrices of classes k0, k0 + 1, ... into the per-period
// array (class, station, period).  The classes of one station and period are
// adjacent there, so copying several classes in one pass writes each cache
// line of the large array once per batch instead of once per class.
void copy_period_classes(std::span<const Array2> work, std::size_t k0, Array3& dst) {
  const std::size_t ncls = dst.extent(0), nstn = dst.extent(1), nper = dst.extent(2);
  const std::size_t nb = work.size();
  const float* src[kPeriodBatch];
  for (std::size_t b = 0; b < nb; ++b) src[b] = work[b].data();
  float* out = dst.data() + k0;
  const std::size_t n = nper * nstn;
  if (nb == kPeriodBatch) {
    for (std::size_t i = 0; i < n; ++i, out += ncls)
      for (std::size_t b = 0; b < kPeriodBatch; ++b) out[b] = src[b][i];
  } else {
    for (std::size_t i = 0; i < n; ++i, out += ncls)
      for (std::size_t b = 0; b < nb; ++b) out[b] = src[b][i];
  }
}

// Reads the next twelve pair variables (one file) into the columns of `dst`.
void read_pairs(NcOpenings& files, Reads& reads, Store& st, const StationCount& ref, Array2& dst) {
  const std::size_t nstn = dst.extent(0);
  for (std::size_t j = 0; j < kPairs; ++j) {
    const InputVar& v = reads.next();
    const std::string_view file = reads.file(v);
    // Straight into column j: the values pass through no pair array.
    rd_ncdf_1d_into(files, file, st.XSTN, st.NSTN, std::span<float>(dst.data() + j * nstn, nstn), v.var,
                    st.STATUS, [&](std::int32_t n, std::int32_t) { ref.check(file, v.var, n); });
    st.XSTN.release();
  }
}

// Reads the next station variable (longitude, latitude, region code).
void read_station_variable(NcOpenings& files, Reads& reads, Store& st, const StationCount& ref, Array1& dst) {
  const InputVar& v = reads.next();
  const std::string_view file = reads.file(v);
  try {
    rd_ncdf_1d(files, file, st.XSTN, st.NSTN, dst, v.var, st.STATUS,
               [&](std::int32_t n, std::int32_t) { ref.check(reads.name(v), v.var, n); });
  } catch (const Error& e) {
    // A file without the first station variable is most likely another
    // file given in place of the station file (a result file, say).
    if (&dst != &st.LON || st.STATUS != NC_ENOTVAR) throw;
    throw Error(std::string(e.what()) + " (is this the station-coordinate file, with lon, lat and reg?)");
  }
}

}  // namespace

void read_data_nc(Store& st, std::string_view station_file, std::string_view station_name) {
  Reads reads(station_file, station_name);
  // Consecutive reads of one file (36 variables of the per-period file,
  // 12 of each correlation file) open it once.
  NcOpenings files;
  if (!station_name.empty()) files.name_in_messages(station_file, station_name);
  // 1. Number of drought months; its station count is the reference.
  {
    const InputVar& v = reads.next();
    rd_ncdf_2d(files, reads.file(v), st.XSTN, st.XIDX, st.NSTN, st.NCOL_DRM, st.NUM_DR_MON, v.var, st.STATUS,
               [&](std::int32_t, std::int32_t n) { check_min_columns(reads.file(v), v.var, n, v.min_columns); });
    st.XSTN.release();
    st.XIDX.release();
  }
  const StationCount ref{st.NSTN, kDrouMonFile};

  // 2. Sen's slopes and their p-values.  The count kept is that of Prob;
  // the data set of SenSL is written with it, so SenSL must hold as many.
  std::int32_t ncol_sensl = 0;
  read_statistic(files, reads, st, ref, st.SENSL, ncol_sensl);
  st.NCOL_IDX = ncol_sensl;
  read_statistic(files, reads, st, ref, st.PROB, st.NCOL_IDX);
  if (st.NCOL_IDX > ncol_sensl) {
    throw Error(std::string(kSenProbFile) + ": variable Prob has " + std::to_string(st.NCOL_IDX) +
                " columns, but SenSL has only " + std::to_string(ncol_sensl));
  }

  // 3. and 4. Spell lengths, times between droughts, whole-series
  // frequency and magnitude, by drought class.
  for (Array2* dst : {&st.SPELL_AVE, &st.SPELL_MAX, &st.TIME_ARR_AVE, &st.TIME_ARR_MAX, &st.FRE_ALL, &st.MAG_ALL})
    read_statistic(files, reads, st, ref, *dst, st.NCLASS);

  // 5. and 6. Frequency and magnitude per period, class k = 6 (c - 1) + i.
  st.NCLASS = kClasses;
  st.NPERIOD = kPeriods;
  const std::size_t nstn = count_to_size(st.NSTN);
  allocate_for(ref, "frequencies per period", st.FRE, {count_to_size(kClasses), nstn, count_to_size(kPeriods)});
  allocate_for(ref, "magnitudes per period", st.MAG, {count_to_size(st.NCLASS), nstn, count_to_size(st.NPERIOD)});
  // The variables are read one by one in their fixed order; their copies
  // into FRE and MAG are made a batch of classes at a time.  The work
  // matrices keep their memory from one batch to the next.
  std::array<Array2, kPeriodBatch> fre_work, mag_work;
  for (std::size_t k = 0; k < count_to_size(kClasses);) {
    const std::size_t b = k % kPeriodBatch;
    read_period_variable(files, reads, st, ref, fre_work[b]);
    read_period_variable(files, reads, st, ref, mag_work[b]);
    ++k;
    if (b + 1 == kPeriodBatch || k == count_to_size(kClasses)) {
      copy_period_classes(std::span<const Array2>(fre_work.data(), b + 1), k - (b + 1), st.FRE);
      copy_period_classes(std::span<const Array2>(mag_work.data(), b + 1), k - (b + 1), st.MAG);
    }
  }
  for (Array2& w : fre_work) w.release();
  for (Array2& w : mag_work) w.release();

  // 7. to 9. Correlation coefficients of the index pairs and their p-values.
  st.NPAIR = kPairs;
  allocate_for(ref, "correlation coefficients", st.TQ, {count_to_size(st.NSTN), count_to_size(kPairs)});
  allocate_for(ref, "p-values of the correlations", st.PROB1, {count_to_size(st.NSTN), count_to_size(st.NPAIR)});
  read_pairs(files, reads, st, ref, st.TQ);
  read_pairs(files, reads, st, ref, st.PROB1);

  // 10. Station coordinates and region codes.
  read_station_variable(files, reads, st, ref, st.LON);
  st.XSTN.release();
  read_station_variable(files, reads, st, ref, st.LAT);
  st.XSTN.release();
  read_station_variable(files, reads, st, ref, st.REG);
  files.close_kept();
  if (!reads.done()) throw Error("the loader left variables of its input catalogue unread");

  // 11. Station names "Station_001", ...; from 1000 on the number does not
  // fit its field and is written as asterisks.
  static const Format kStationFormat = Format::parse("(A,I3.3)");
  st.STATION.clear();
  st.STATION.reserve(count_to_size(st.NSTN));
  for (std::int32_t i = 1; i <= st.NSTN; ++i) {
    const std::array<Value, 2> items{Value::text("Station_"), Value::integer(i)};
    st.STATION.push_back(write_field(kStationFormat, items, kStationLen));
  }
}

}  // namespace dx
