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
  Sequential,  // counts, frequencies, magnitudes, lengths: light to dark
  Diverging,   // slopes, correlations: centred on 0, blue below, red above
  PValue,      // p-values: the usual 0.01 / 0.05 / 0.1 breaks
};

// What the maps of a statistic say of it.
struct MapWords {
  std::string_view group;  // the page's section: "Drought frequency"
  std::string_view title;  // "Drought frequency, whole series (%)"
  ScaleKind scale;
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
  std::span<const std::string_view> names;  // column names, also the maps' panel headings
  // The data set: one time step per column counted in the files.
  std::int32_t Store::*ncol;
  std::string_view base, var;
  MapWords map;
};

inline const std::array<Statistic, 11> kStatistics{{
    {&Store::NUM_DR_MON, "Num_Dr_Mon.txt", "So thang han trong toan chuoi SL theo cac chi so cua cac tram", 0, VARN,
     &Store::NCOL_DRM, "Num_Dr_Mon", "Dr_Mon",
     {"Drought months", "Number of drought months, whole series", ScaleKind::Sequential}},
    {&Store::SENSL, "Sensl.txt", "Sen's slopes theo cac chi so cua cac tram", 3, IDX_NAME, &Store::NCOL_IDX, "Sensl",
     "Sensl", {"Sen's slope", "Sen's slope", ScaleKind::Diverging}},
    {&Store::PROB, "Prob_Sensl.txt", "P-values cua Sen's slopes theo cac chi so cua cac tram", 4, IDX_NAME,
     &Store::NCOL_IDX, "Prob", "Prob", {"Sen's slope", "p-value of Sen's slope", ScaleKind::PValue}},
    {&Store::SPELL_AVE, "Spell_Ave.txt", "Do dai Trung binh cac dot han", 5, VARN, &Store::NCLASS, "Spell_Ave",
     "Spell_Ave", {"Drought spells", "Mean length of a drought spell (months)", ScaleKind::Sequential}},
    {&Store::SPELL_MAX, "Spell_Max.txt", "Do dai Cuc dai cac dot han", 6, VARN, &Store::NCLASS, "Spell_Max",
     "Spell_Max", {"Drought spells", "Longest drought spell (months)", ScaleKind::Sequential}},
    {&Store::TIME_ARR_AVE, "Time_Interval_Ave.txt", "Khoang thoi gian Trung binh giua hai dot han lien tiep", 7, VARN,
     &Store::NCLASS, "Time_Arr_Ave", "Time_Arr_Ave",
     {"Time between droughts", "Mean time between two droughts (months)", ScaleKind::Sequential}},
    {&Store::TIME_ARR_MAX, "Time_Interval_Max.txt", "Khoang thoi gian Cuc dai giua hai dot han lien tiep", 8, VARN,
     &Store::NCLASS, "Time_Arr_Max", "Time_Arr_Max",
     {"Time between droughts", "Longest time between two droughts (months)", ScaleKind::Sequential}},
    {&Store::FRE_ALL, "Fre_all.txt", "Tan suat han theo cac chi so cua cac tram cua toan chuoi", 1, VARN,
     &Store::NCLASS, "Fre_all", "Fre_all",
     {"Drought frequency", "Drought frequency, whole series (%)", ScaleKind::Sequential}},
    {&Store::MAG_ALL, "Mag_all.txt", "Cuong do han theo cac chi so cua cac tram cua toan chuoi", 2, VARN,
     &Store::NCLASS, "Mag_all", "Mag_all",
     {"Drought magnitude", "Drought magnitude, whole series", ScaleKind::Sequential}},
    {&Store::TQ, "Corre_IDX.txt",
     "He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)", 9, COR_NAME,
     &Store::NPAIR, "Corre", "Corre",
     {"Correlation between indices", "Correlation between two drought indices", ScaleKind::Diverging}},
    {&Store::PROB1, "Prob_Corre_IDX.txt",
     "P-values cua cac He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)", 10,
     COR_NAME, &Store::NPAIR, "Prob1", "Prob1",
     {"Correlation between indices", "p-value of the correlation between two drought indices", ScaleKind::PValue}},
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
    {&Store::FRE, "Fre_", "Fre", {"Drought frequency", "Drought frequency", ScaleKind::Sequential}},
    {&Store::MAG, "Mag_", "Mag", {"Drought magnitude", "Drought magnitude", ScaleKind::Sequential}},
}};

// Base name of a period's data set: prefix + the period in two digits.
std::string period_base(std::string_view prefix, std::int32_t period);

// The unit a per-period map's title adds: " (%)" for frequencies.
std::string_view period_unit(const PeriodStatistic& s);

// Every output file of a run with `nperiod` analysis periods, in the order
// the run writes them (81 for 12 periods): the names the run checks up
// front in its output folder.
std::vector<std::string> output_files(std::int32_t nperiod);

}  // namespace dx
