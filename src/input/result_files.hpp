#pragma once
// The catalogue of the run's inputs: the seven result files of an analysis,
// the station-coordinate file, and every variable the loader reads from
// them, in reading order, with its rank, the least number of columns a
// usable variable has, and where its values go in the result store.  The loader, the sample generator, the I/O floor of
// the benchmark and the test fixtures all take the inputs from here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/labels.hpp"
#include "base/store.hpp"

namespace dx {

// Where the analysis keeps its station coordinates; without an option the
// program always reads them from here.
inline constexpr std::string_view kStationFile = "/home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc";
// The name of the station file inside a folder of inputs (samples, tests).
inline constexpr std::string_view kStationFileName = "SPI_Stn.nc";

// The result files, in the order the loader first opens them.
inline constexpr std::string_view kDrouMonFile = "Num_Drou_Mon_Stn.nc";
inline constexpr std::string_view kSenProbFile = "Sen_Prob_idx_Stn.nc";
inline constexpr std::string_view kSpellFile = "Spell_Time_Arr_Stn.nc";
inline constexpr std::string_view kAllPeriodFile = "Fre_Mag_Stn_all_period.nc";
inline constexpr std::string_view kPeriodFile = "Fre_Mag_Stn.nc";
inline constexpr std::string_view kTqFile = "Tq_pdsi_spi_Stn.nc";
inline constexpr std::string_view kProbTqFile = "Prob_Tq_pdsi_spi_Stn.nc";

// Every input file, the station file last (as kStationFileName).
enum InputFile : int {
  kDrouMonInput,
  kSenProbInput,
  kSpellInput,
  kAllPeriodInput,
  kPeriodInput,
  kTqInput,
  kProbTqInput,
  kStationInput
};
inline constexpr int kInputFiles = kStationInput + 1;
inline constexpr std::array<std::string_view, kInputFiles> kInputFileNames = {
    kDrouMonFile, kSenProbFile, kSpellFile, kAllPeriodFile, kPeriodFile, kTqFile, kProbTqFile, kStationFileName};

// Drought classes and analysis periods of the per-period variables (the
// index pairs of the correlation files: kPairs).
inline constexpr int kClasses = 18;
inline constexpr int kPeriods = 12;

// Name of the per-period variable of class column k (0 to 17), "Fre_" or
// "Mag_" + index + "_" + class: "Fre_pdsi_mod", ...
inline std::string period_var(std::string_view prefix, std::size_t k) { return std::string(prefix) + period_class(k); }

// Where the values of a read go in the store.  A whole statistic keeps
// its column count in a run count; `within_previous`: it may not have more
// columns than the statistic read before it.
struct WholeStatistic {
  Array2 Store::*values;
  std::int32_t Store::*ncol;
  bool within_previous = false;
};
// One column (`column`) of a statistic, or one class (`column`) of a
// per-period array; the array is sized by the catalogue: as many columns
// or classes as it has entries, allocated at the first of them.
struct ColumnOf {
  Array2 Store::*values;
  std::size_t column;
  std::string_view what;  // the array in messages: "correlation coefficients"
};
struct ClassOf {
  Array3 Store::*values;
  std::size_t column;
  std::string_view what;
};
using Destination = std::variant<WholeStatistic, ColumnOf, ClassOf, Array1 Store::*>;

// One variable the loader reads.  A 2-D variable is (station, column), the
// station the fastest-varying dimension; a usable one has at least
// `min_columns` columns (per-period variables exactly kPeriods).
struct InputVar {
  InputFile file;
  std::string var;
  int rank;
  int min_columns;  // 0 for 1-D variables
  Destination into;
};

// The 72 reads of a run, in reading order: N_Drou_mon; SenSL, Prob; the
// spell and interval variables; Freq, Mag; Fre_ and Mag_ of every class in
// turn; the twelve pairs of each correlation file; lon, lat, reg.  The
// first read gives the station count that every later one must have.
inline const std::vector<InputVar>& input_reads() {
  static const std::vector<InputVar> reads = [] {
    using S = Store;
    std::vector<InputVar> v = {{kDrouMonInput, "N_Drou_mon", 2, kClasses, WholeStatistic{&S::NUM_DR_MON, &S::NCOL_DRM}},
                               {kSenProbInput, "SenSL", 2, 6, WholeStatistic{&S::SENSL, &S::NCOL_IDX}},
                               // The data set of SenSL is written with the count of Prob.
                               {kSenProbInput, "Prob", 2, 6, WholeStatistic{&S::PROB, &S::NCOL_IDX, true}},
                               {kSpellInput, "Spell_Ave", 2, kClasses, WholeStatistic{&S::SPELL_AVE, &S::NCLASS}},
                               {kSpellInput, "Spell_Max", 2, kClasses, WholeStatistic{&S::SPELL_MAX, &S::NCLASS}},
                               {kSpellInput, "Time_Arr_Ave", 2, kClasses, WholeStatistic{&S::TIME_ARR_AVE, &S::NCLASS}},
                               {kSpellInput, "Time_Arr_Max", 2, kClasses, WholeStatistic{&S::TIME_ARR_MAX, &S::NCLASS}},
                               {kAllPeriodInput, "Freq", 2, kClasses, WholeStatistic{&S::FRE_ALL, &S::NCLASS}},
                               {kAllPeriodInput, "Mag", 2, kClasses, WholeStatistic{&S::MAG_ALL, &S::NCLASS}}};
    for (std::size_t k = 0; k < kClasses; ++k) {
      v.push_back({kPeriodInput, period_var("Fre_", k), 2, kPeriods, ClassOf{&S::FRE, k, "frequencies per period"}});
      v.push_back({kPeriodInput, period_var("Mag_", k), 2, kPeriods, ClassOf{&S::MAG, k, "magnitudes per period"}});
    }
    for (std::size_t j = 0; j < kPairs; ++j)
      v.push_back({kTqInput, std::string(kPairName[j]), 1, 0, ColumnOf{&S::TQ, j, "correlation coefficients"}});
    for (std::size_t j = 0; j < kPairs; ++j) {
      v.push_back({kProbTqInput, std::string(kPairName[j]), 1, 0,
                   ColumnOf{&S::PROB1, j, "p-values of the correlations"}});
    }
    v.push_back({kStationInput, "lon", 1, 0, &S::LON});
    v.push_back({kStationInput, "lat", 1, 0, &S::LAT});
    v.push_back({kStationInput, "reg", 1, 0, &S::REG});
    return v;
  }();
  return reads;
}

}  // namespace dx
