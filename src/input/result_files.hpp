#pragma once
// The catalogue of the run's inputs: the seven result files of an analysis,
// the station-coordinate file, and every variable the loader reads from
// them, in reading order, with its rank and the least number of columns a
// usable variable has.  The loader, the sample generator, the I/O floor of
// the benchmark and the test fixtures all take the inputs from here.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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
inline constexpr int kInputFiles = 8;
inline constexpr int kStationInput = 7;
inline constexpr std::array<std::string_view, kInputFiles> kInputFileNames = {
    kDrouMonFile, kSenProbFile, kSpellFile, kAllPeriodFile, kPeriodFile, kTqFile, kProbTqFile, kStationFileName};

// Drought classes and analysis periods of the per-period variables, and the
// index pairs of the correlation files.
inline constexpr int kClasses = 18;
inline constexpr int kPeriods = 12;
inline constexpr int kPairs = 12;
// Class suffixes and index names of the per-period variables, in reading
// order: class column k = 6 (c - 1) + i.
inline constexpr std::array<std::string_view, 3> kClassSuffix = {"mod", "sev", "ext"};
inline constexpr std::array<std::string_view, 6> kPeriodIndex = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};
// Variable names of the index pairs, column order of TQ and PROB1.
inline constexpr std::array<std::string_view, kPairs> kPairName = {
    "pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
    "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
    "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

// Name of the per-period variable of class column k (0 to 17), "Fre_" or
// "Mag_" + index + "_" + class: "Fre_pdsi_mod", ...
inline std::string period_var(std::string_view prefix, std::size_t k) {
  std::string name(prefix);
  name.append(kPeriodIndex[k % kPeriodIndex.size()]).append("_").append(kClassSuffix[k / kPeriodIndex.size()]);
  return name;
}

// One variable the loader reads.  A 2-D variable is (station, column), the
// station the fastest-varying dimension; a usable one has at least
// `min_columns` columns (per-period variables exactly kPeriods).
struct InputVar {
  int file;  // index into kInputFileNames
  std::string var;
  int rank;
  int min_columns;  // 0 for 1-D variables
};

// The 72 reads of a run, in reading order: N_Drou_mon; SenSL, Prob; the
// spell and interval variables; Freq, Mag; Fre_ and Mag_ of every class in
// turn; the twelve pairs of each correlation file; lon, lat, reg.
inline const std::vector<InputVar>& input_reads() {
  static const std::vector<InputVar> reads = [] {
    std::vector<InputVar> v = {{0, "N_Drou_mon", 2, kClasses}, {1, "SenSL", 2, 6}, {1, "Prob", 2, 6}};
    for (const char* n : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max"}) v.push_back({2, n, 2, kClasses});
    for (const char* n : {"Freq", "Mag"}) v.push_back({3, n, 2, kClasses});
    for (std::size_t k = 0; k < kClasses; ++k) {
      v.push_back({4, period_var("Fre_", k), 2, kPeriods});
      v.push_back({4, period_var("Mag_", k), 2, kPeriods});
    }
    for (int f : {5, 6})
      for (std::string_view p : kPairName) v.push_back({f, std::string(p), 1, 0});
    for (const char* n : {"lon", "lat", "reg"}) v.push_back({kStationInput, n, 1, 0});
    return v;
  }();
  return reads;
}

}  // namespace dx
