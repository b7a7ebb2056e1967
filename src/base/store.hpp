#pragma once
// The result store: the program-level data that every procedure shares for
// the whole run (text fields, run counts, the growable statistic arrays and
// the station names).  The loader fills it once; the writers only read it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/col_array.hpp"
#include "base/labels.hpp"

namespace dx {

// The id of a GrADS station report: eight characters.
using StationId = std::array<char, 8>;

struct Store {
  // Text fields, always at their full fixed length.
  std::string TITLE = std::string(kTitleLen, ' ');
  std::string FNAME = std::string(kFnameLen, ' ');

  // Run counts, set by the loader.
  std::int32_t NSTN = 0;
  std::int32_t NCOL_DRM = 0;
  std::int32_t NCOL_IDX = 0;
  std::int32_t NCLASS = 0;
  std::int32_t NPERIOD = 0;
  std::int32_t NPAIR = 0;
  int STATUS = 0;  // code of the most recent netCDF call

  // Station arrays.
  Array1 LON, LAT, REG;
  // Statistics, (station, column).
  Array2 NUM_DR_MON, SENSL, PROB, SPELL_AVE, SPELL_MAX, TIME_ARR_AVE, TIME_ARR_MAX, FRE_ALL, MAG_ALL, TQ, PROB1;
  // Per-period frequency and magnitude, (class, station, period).
  Array3 FRE, MAG;
  // Station names, each kStationLen characters, blank-padded.
  std::vector<std::string> STATION;
  // Coordinate values of the last read's dimensions.
  Array1 XSTN, XIDX;
  // Values of the period coordinate of the per-period variables, for the
  // maps' panel headings; empty where the file has none.
  Array1 PERIODS;
  // Work array of the per-period loop, (station, class).
  Array2 X;

  // Id of the last GrADS station report written; a terminator with no
  // station before it in its call repeats it.  Eight zero bytes at start.
  StationId LAST_STN_ID{};
};

}  // namespace dx
