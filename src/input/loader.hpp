#pragma once
// The result loader: fills the whole result store from the seven result
// files in the working directory and the station-coordinate file.
#include <string_view>

#include "base/store.hpp"
#include "input/result_files.hpp"

namespace dx {

// Fills `st` (arrays, station names and run counts).  Throws Error when an
// input is missing, damaged or inconsistent, before any output is written.
// Messages name every input with a relative path as `folder` followed by
// that path (under -C, the folder as the user gave it, with a slash:
// "results/Spell_Time_Arr_Stn.nc"); the progress lines name the files as
// opened.
void read_data_nc(Store& st, std::string_view station_file = kStationFile, std::string_view folder = {});

}  // namespace dx
