#pragma once
// The catalogue of the run's outputs, each statistic in one entry: its
// text table, its GrADS station data set, and what its maps say of it.
// The run writes the data sets in the order of kStatistics, then the two
// data sets of every analysis period; the text tables come in an order of
// their own (`table_rank`).  The run, the maps and the I/O floor of the
// benchmark take the outputs from here (the tests keep their own list, so
// that a change here shows).
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/labels.hpp"
#include "base/store.hpp"

namespace dx {

// How the values of a statistic are coloured on its maps.
enum class ScaleKind {
  Sequential,   // counts, frequencies, magnitudes, lengths: light to dark
  Slope,        // trends of a drought index: centred on 0, drying (below) brown, wetting blue-green
  Correlation,  // -1 to 1, centred on 0, blue below, red above
  PValue,       // p-values: the usual 0.01 / 0.05 / 0.1 breaks
};

// What the maps of a statistic say of it.
struct MapWords {
  std::string_view group;     // the page's section: "Drought frequency, whole series"
  std::string_view title;     // "Drought frequency, whole series"
  std::string_view quantity;  // what the colour bar's numbers are: "Drought frequency"
  ScaleKind scale;
  // The data set of the p-values of the same columns, whose significant
  // stations the maps mark ("" for none).
  std::string_view significance = {};
};

// A whole-series statistic: one array of the store, stations x columns.
struct Statistic {
  Array2 Store::*values;
  // The text table: its file, title, and place among the tables; one
  // column per name (the size of the label table, not the count found in
  // the files).
  std::string_view table;
  std::string_view table_title;
  int table_rank;
  std::span<const std::string_view> names;  // column names
  // What each column holds as the files name it (the maps' panel headings).
  std::span<const std::string_view> columns;
  // The data set: one time step per column counted in the files.
  std::int32_t Store::*ncol;
  std::string_view base, var;
  MapWords map;
};

inline const std::array<Statistic, 11> kStatistics{{
    {&Store::NUM_DR_MON,
     "Num_Dr_Mon.txt",
     "So thang han trong toan chuoi SL theo cac chi so cua cac tram",
     0,
     VARN,
     VARN,
     &Store::NCOL_DRM,
     "Num_Dr_Mon",
     "Dr_Mon",
     {"Drought months", "Number of drought months, whole series", "Drought months", ScaleKind::Sequential}},
    {&Store::SENSL,
     "Sensl.txt",
     "Sen's slopes theo cac chi so cua cac tram",
     3,
     IDX_NAME,
     IDX_NAME,
     &Store::NCOL_IDX,
     "Sensl",
     "Sensl",
     {"Trends", "Trend of the drought index (Sen's slope)", "Sen's slope", ScaleKind::Slope, "Prob"}},
    {&Store::PROB,
     "Prob_Sensl.txt",
     "P-values cua Sen's slopes theo cac chi so cua cac tram",
     4,
     IDX_NAME,
     IDX_NAME,
     &Store::NCOL_IDX,
     "Prob",
     "Prob",
     {"Trends", "Significance of the trend (p-value of Sen's slope)", "p-value", ScaleKind::PValue}},
    {&Store::SPELL_AVE,
     "Spell_Ave.txt",
     "Do dai Trung binh cac dot han",
     5,
     VARN,
     VARN,
     &Store::NCLASS,
     "Spell_Ave",
     "Spell_Ave",
     {"Drought spells", "Mean length of a drought spell", "Mean spell length", ScaleKind::Sequential}},
    {&Store::SPELL_MAX,
     "Spell_Max.txt",
     "Do dai Cuc dai cac dot han",
     6,
     VARN,
     VARN,
     &Store::NCLASS,
     "Spell_Max",
     "Spell_Max",
     {"Drought spells", "Longest drought spell", "Longest spell", ScaleKind::Sequential}},
    {&Store::TIME_ARR_AVE,
     "Time_Interval_Ave.txt",
     "Khoang thoi gian Trung binh giua hai dot han lien tiep",
     7,
     VARN,
     VARN,
     &Store::NCLASS,
     "Time_Arr_Ave",
     "Time_Arr_Ave",
     {"Time between droughts", "Mean time between two droughts", "Mean time between droughts", ScaleKind::Sequential}},
    {&Store::TIME_ARR_MAX,
     "Time_Interval_Max.txt",
     "Khoang thoi gian Cuc dai giua hai dot han lien tiep",
     8,
     VARN,
     VARN,
     &Store::NCLASS,
     "Time_Arr_Max",
     "Time_Arr_Max",
     {"Time between droughts", "Longest time between two droughts", "Longest time between droughts",
      ScaleKind::Sequential}},
    {&Store::FRE_ALL,
     "Fre_all.txt",
     "Tan suat han theo cac chi so cua cac tram cua toan chuoi",
     1,
     VARN,
     VARN,
     &Store::NCLASS,
     "Fre_all",
     "Fre_all",
     {"Drought frequency, whole series", "Drought frequency, whole series", "Drought frequency",
      ScaleKind::Sequential}},
    {&Store::MAG_ALL,
     "Mag_all.txt",
     "Cuong do han theo cac chi so cua cac tram cua toan chuoi",
     2,
     VARN,
     VARN,
     &Store::NCLASS,
     "Mag_all",
     "Mag_all",
     {"Drought magnitude, whole series", "Drought magnitude, whole series", "Drought magnitude",
      ScaleKind::Sequential}},
    {&Store::TQ,
     "Corre_IDX.txt",
     "He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)",
     9,
     COR_NAME,
     kPairName,
     &Store::NPAIR,
     "Corre",
     "Corre",
     {"Correlation between indices", "Correlation between two drought indices", "Correlation coefficient",
      ScaleKind::Correlation, "Prob1"}},
    {&Store::PROB1,
     "Prob_Corre_IDX.txt",
     "P-values cua cac He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)",
     10,
     COR_NAME,
     kPairName,
     &Store::NPAIR,
     "Prob1",
     "Prob1",
     {"Correlation between indices", "Significance of the correlation (p-value)", "p-value", ScaleKind::PValue}},
}};

// The whole-series statistics in the order of their text tables.
std::array<const Statistic*, kStatistics.size()> statistics_in_table_order();

// A per-period statistic: one array of the store, classes x stations x
// periods, written as one data set per period (base name: prefix + the
// period in two digits), one time step per drought class.  Its maps add
// the period or the class to the title.
struct PeriodStatistic {
  Array3 Store::*values;
  std::string_view prefix, var;
  MapWords map;
};

inline const std::array<PeriodStatistic, 2> kPeriodStatistics{{
    {&Store::FRE,
     "Fre_",
     "Fre",
     {"Drought frequency by period", "Drought frequency", "Drought frequency", ScaleKind::Sequential}},
    {&Store::MAG,
     "Mag_",
     "Mag",
     {"Drought magnitude by period", "Drought magnitude", "Drought magnitude", ScaleKind::Sequential}},
}};

// Base name of a period's data set: prefix + the period in two digits.
std::string period_base(std::string_view prefix, std::int32_t period);

// Every output file of a run with `nperiod` analysis periods, in the order
// the run writes them (81 for 12 periods): the names the run checks up
// front in its output folder.
std::vector<std::string> output_files(std::int32_t nperiod);

}  // namespace dx
