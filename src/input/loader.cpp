#include "input/loader.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>

#include "input/memory_limit.hpp"
#include "input/nc_reader.hpp"
#include "output/format.hpp"

namespace dx {
namespace {

constexpr std::string_view kDrouMonFile = "Num_Drou_Mon_Stn.nc";
constexpr std::string_view kSenProbFile = "Sen_Prob_idx_Stn.nc";
constexpr std::string_view kSpellFile = "Spell_Time_Arr_Stn.nc";
constexpr std::string_view kAllPeriodFile = "Fre_Mag_Stn_all_period.nc";
constexpr std::string_view kPeriodFile = "Fre_Mag_Stn.nc";
constexpr std::string_view kTqFile = "Tq_pdsi_spi_Stn.nc";
constexpr std::string_view kProbTqFile = "Prob_Tq_pdsi_spi_Stn.nc";

// Drought-class suffixes and index names of the per-period variables, in
// loop order: k = 6 (c - 1) + i.
constexpr std::array<std::string_view, 3> kClassSuffix = {"mod", "sev", "ext"};
constexpr std::array<std::string_view, 6> kIndexName = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};

// Variable names of the index pairs, column order of TQ and PROB1.
constexpr std::array<std::string_view, 12> kPairName = {
    "pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
    "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
    "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

constexpr std::int32_t kClasses = 18;
constexpr std::int32_t kPeriods = 12;
constexpr std::int32_t kPairs = 12;
// Classes of FRE and MAG filled in one pass over those arrays.
constexpr std::size_t kPeriodBatch = 3;

std::size_t count(std::int32_t n) { return static_cast<std::size_t>(std::max(n, 0)); }

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
  const std::uint64_t phys = physical_memory();
  const std::string why = std::string(ref.file) + ": " + std::to_string(ref.n) + " stations: the " +
                          std::string(what) + " need " + std::to_string(bytes) + " bytes";
  if (phys != 0 && bytes > phys) {
    throw Error(why + ", more than the machine's memory (" + std::to_string(phys) + " bytes)");
  }
  const std::uint64_t can = obtainable_memory();
  if (can != 0 && bytes > can) {
    throw Error(why + ", more than this run can obtain now (" + std::to_string(can) + " bytes)");
  }
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

// Reads one statistic (station, column) and checks its shape.
void read_statistic(Store& st, const StationCount& ref, std::string_view file, std::string_view var,
                    Array2& dst, std::int32_t& ncol, std::int32_t min_cols) {
  rd_ncdf_2d(file, st.XSTN, st.XIDX, st.NSTN, ncol, dst, var, st.STATUS);
  ref.check(file, var, st.NSTN);
  check_min_columns(file, var, ncol, min_cols);
  st.XSTN.release();
  st.XIDX.release();
}

// Reads one per-period variable (station, period) into a work matrix.
void read_period_variable(Store& st, const StationCount& ref, std::string_view var, Array2& work) {
  rd_ncdf_2d(kPeriodFile, st.XSTN, st.XIDX, st.NSTN, st.NPERIOD, work, var, st.STATUS);
  ref.check(kPeriodFile, var, st.NSTN);
  if (st.NPERIOD != kPeriods) {
    throw Error(std::string(kPeriodFile) + ": variable " + std::string(var) + " has " +
                std::to_string(st.NPERIOD) + " periods, expected " + std::to_string(kPeriods));
  }
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

// Reads the twelve pair variables of one file into the columns of `dst`.
void read_pairs(Store& st, const StationCount& ref, std::string_view file, Array2& dst) {
  for (std::size_t j = 0; j < kPairName.size(); ++j) {
    // Straight into column j: the values pass through no pair array.
    const std::size_t nstn = dst.extent(0);
    rd_ncdf_1d_into(file, st.XSTN, st.NSTN, std::span<float>(dst.data() + j * nstn, nstn), kPairName[j],
                    st.STATUS);
    ref.check(file, kPairName[j], st.NSTN);
    st.XSTN.release();
    st.COR.release();
  }
}

void read_coordinate(Store& st, const StationCount& ref, std::string_view file, std::string_view var,
                     Array1& dst) {
  rd_ncdf_1d(file, st.XSTN, st.NSTN, dst, var, st.STATUS);
  ref.check(file, var, st.NSTN);
}

}  // namespace

void read_data_nc(Store& st, std::string_view station_file) {
  // Consecutive reads of one file (36 variables of the per-period file,
  // 12 of each correlation file) open it once.
  KeepFilesOpen keep;
  // 1. Number of drought months; its station count is the reference.
  rd_ncdf_2d(kDrouMonFile, st.XSTN, st.XIDX, st.NSTN, st.NCOL_DRM, st.NUM_DR_MON, "N_Drou_mon", st.STATUS);
  const StationCount ref{st.NSTN, kDrouMonFile};
  check_min_columns(kDrouMonFile, "N_Drou_mon", st.NCOL_DRM, NVARN);
  st.XSTN.release();
  st.XIDX.release();

  // 2. Sen's slopes and their p-values.  The count kept is that of Prob;
  // the data set of SenSL is written with it, so SenSL must hold as many.
  std::int32_t ncol_sensl = 0;
  read_statistic(st, ref, kSenProbFile, "SenSL", st.SENSL, ncol_sensl, NIDX_NAME);
  st.NCOL_IDX = ncol_sensl;
  read_statistic(st, ref, kSenProbFile, "Prob", st.PROB, st.NCOL_IDX, NIDX_NAME);
  if (st.NCOL_IDX > ncol_sensl) {
    throw Error(std::string(kSenProbFile) + ": variable Prob has " + std::to_string(st.NCOL_IDX) +
                " columns, but SenSL has only " + std::to_string(ncol_sensl));
  }

  // 3. and 4. Spell lengths, times between droughts, whole-series
  // frequency and magnitude, by drought class.
  read_statistic(st, ref, kSpellFile, "Spell_Ave", st.SPELL_AVE, st.NCLASS, NVARN);
  read_statistic(st, ref, kSpellFile, "Spell_Max", st.SPELL_MAX, st.NCLASS, NVARN);
  read_statistic(st, ref, kSpellFile, "Time_Arr_Ave", st.TIME_ARR_AVE, st.NCLASS, NVARN);
  read_statistic(st, ref, kSpellFile, "Time_Arr_Max", st.TIME_ARR_MAX, st.NCLASS, NVARN);
  read_statistic(st, ref, kAllPeriodFile, "Freq", st.FRE_ALL, st.NCLASS, NVARN);
  read_statistic(st, ref, kAllPeriodFile, "Mag", st.MAG_ALL, st.NCLASS, NVARN);

  // 5. and 6. Frequency and magnitude per period, class k = 6 (c - 1) + i.
  st.NCLASS = kClasses;
  st.NPERIOD = kPeriods;
  const std::size_t nstn = count(st.NSTN);
  allocate_for(ref, "frequencies per period", st.FRE, {count(kClasses), nstn, count(kPeriods)});
  allocate_for(ref, "magnitudes per period", st.MAG, {count(st.NCLASS), nstn, count(st.NPERIOD)});
  // The variables are read one by one in their fixed order; their copies
  // into FRE and MAG are made a batch of classes at a time.  The work
  // matrices keep their memory from one batch to the next.
  std::array<Array2, kPeriodBatch> fre_work, mag_work;
  std::size_t k = 0;
  for (std::string_view cls : kClassSuffix) {
    for (std::string_view idx : kIndexName) {
      const std::string suffix = std::string(idx) + "_" + std::string(cls);
      const std::size_t b = k % kPeriodBatch;
      read_period_variable(st, ref, "Fre_" + suffix, fre_work[b]);
      read_period_variable(st, ref, "Mag_" + suffix, mag_work[b]);
      ++k;
      if (b + 1 == kPeriodBatch || k == count(kClasses)) {
        copy_period_classes(std::span<const Array2>(fre_work.data(), b + 1), k - (b + 1), st.FRE);
        copy_period_classes(std::span<const Array2>(mag_work.data(), b + 1), k - (b + 1), st.MAG);
      }
    }
  }
  for (Array2& w : fre_work) w.release();
  for (Array2& w : mag_work) w.release();

  // 7. to 9. Correlation coefficients of the index pairs and their p-values.
  st.NPAIR = kPairs;
  allocate_for(ref, "correlation coefficients", st.TQ, {count(st.NSTN), count(kPairs)});
  allocate_for(ref, "p-values of the correlations", st.PROB1, {count(st.NSTN), count(st.NPAIR)});
  read_pairs(st, ref, kTqFile, st.TQ);
  read_pairs(st, ref, kProbTqFile, st.PROB1);

  // 10. Station coordinates and region codes.
  read_coordinate(st, ref, station_file, "lon", st.LON);
  st.XSTN.release();
  read_coordinate(st, ref, station_file, "lat", st.LAT);
  st.XSTN.release();
  read_coordinate(st, ref, station_file, "reg", st.REG);
  keep.close();

  // 11. Station names "Station_001", ...; from 1000 on the number does not
  // fit its field and is written as asterisks.
  static const Format kStationFormat = Format::parse("(A,I3.3)");
  st.STATION.clear();
  st.STATION.reserve(count(st.NSTN));
  for (std::int32_t i = 1; i <= st.NSTN; ++i) {
    const std::array<Value, 2> items{Value::text("Station_"), Value::integer(i)};
    st.STATION.push_back(write_field(kStationFormat, items, STATION_LEN));
  }
}

}  // namespace dx
