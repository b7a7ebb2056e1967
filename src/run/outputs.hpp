#pragma once
// The catalogue of the run's outputs: the eleven station text tables and
// the eleven GrADS station data sets, in the order the run writes them,
// and the two data sets of every analysis period.  The run and the I/O
// floor of the benchmark take the outputs from here (the tests keep their
// own list, so that a change here shows).
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/labels.hpp"
#include "base/store.hpp"

namespace dx {

struct TextTable {
  Array2 Store::*values;
  int ncol;
  std::span<const std::string_view> names;
  std::string_view title;
  std::string_view file;
};

// The eleven text tables, in their order.  Column counts are the sizes of
// the label tables, not the counts found in the files.
inline const std::array<TextTable, 11> kTextTables{{
    {&Store::NUM_DR_MON, kVarnSize, VARN, "So thang han trong toan chuoi SL theo cac chi so cua cac tram", "Num_Dr_Mon.txt"},
    {&Store::FRE_ALL, kVarnSize, VARN, "Tan suat han theo cac chi so cua cac tram cua toan chuoi", "Fre_all.txt"},
    {&Store::MAG_ALL, kVarnSize, VARN, "Cuong do han theo cac chi so cua cac tram cua toan chuoi", "Mag_all.txt"},
    {&Store::SENSL, kIdxNameSize, IDX_NAME, "Sen's slopes theo cac chi so cua cac tram", "Sensl.txt"},
    {&Store::PROB, kIdxNameSize, IDX_NAME, "P-values cua Sen's slopes theo cac chi so cua cac tram", "Prob_Sensl.txt"},
    {&Store::SPELL_AVE, kVarnSize, VARN, "Do dai Trung binh cac dot han", "Spell_Ave.txt"},
    {&Store::SPELL_MAX, kVarnSize, VARN, "Do dai Cuc dai cac dot han", "Spell_Max.txt"},
    {&Store::TIME_ARR_AVE, kVarnSize, VARN, "Khoang thoi gian Trung binh giua hai dot han lien tiep", "Time_Interval_Ave.txt"},
    {&Store::TIME_ARR_MAX, kVarnSize, VARN, "Khoang thoi gian Cuc dai giua hai dot han lien tiep", "Time_Interval_Max.txt"},
    {&Store::TQ, kCorNameSize, COR_NAME,
     "He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)", "Corre_IDX.txt"},
    {&Store::PROB1, kCorNameSize, COR_NAME,
     "P-values cua cac He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)",
     "Prob_Corre_IDX.txt"},
}};

struct DataSet {
  Array2 Store::*values;
  std::int32_t Store::*ncol;
  std::string_view base;
  std::string_view var;
};

// The eleven GrADS data sets, in their order; column counts are the run
// counts found in the files.
inline const std::array<DataSet, 11> kDataSets{{
    {&Store::NUM_DR_MON, &Store::NCOL_DRM, "Num_Dr_Mon", "Dr_Mon"},
    {&Store::SENSL, &Store::NCOL_IDX, "Sensl", "Sensl"},
    {&Store::PROB, &Store::NCOL_IDX, "Prob", "Prob"},
    {&Store::SPELL_AVE, &Store::NCLASS, "Spell_Ave", "Spell_Ave"},
    {&Store::SPELL_MAX, &Store::NCLASS, "Spell_Max", "Spell_Max"},
    {&Store::TIME_ARR_AVE, &Store::NCLASS, "Time_Arr_Ave", "Time_Arr_Ave"},
    {&Store::TIME_ARR_MAX, &Store::NCLASS, "Time_Arr_Max", "Time_Arr_Max"},
    {&Store::FRE_ALL, &Store::NCLASS, "Fre_all", "Fre_all"},
    {&Store::MAG_ALL, &Store::NCLASS, "Mag_all", "Mag_all"},
    {&Store::TQ, &Store::NPAIR, "Corre", "Corre"},
    {&Store::PROB1, &Store::NPAIR, "Prob1", "Prob1"},
}};

// The two data sets of every analysis period: base name prefix and
// variable name.
struct PeriodSet {
  Array3 Store::*values;
  std::string_view prefix;
  std::string_view var;
};
inline const std::array<PeriodSet, 2> kPeriodSets{{{&Store::FRE, "Fre_", "Fre"}, {&Store::MAG, "Mag_", "Mag"}}};

// Base name of a period's data set: prefix + the period in two digits.
std::string period_base(std::string_view prefix, std::int32_t period);

// Every output file of a run with `nperiod` analysis periods, in the order
// the run writes them (81 for 12 periods): the names the run checks up
// front in its output folder.
std::vector<std::string> output_files(std::int32_t nperiod);

}  // namespace dx
