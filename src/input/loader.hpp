#pragma once
// The result loader: fills the whole result store from the seven result
// files in the working directory and the station-coordinate file.
#include <string_view>

#include "base/store.hpp"
#include "input/result_files.hpp"

namespace dx {

// Fills `st` (arrays, station names and run counts).  Throws Error when an
// input is missing, damaged or inconsistent, before any output is written.
// Messages name the station file `station_name` when it is not empty (the
// progress lines name it as opened, `station_file`).
void read_data_nc(Store& st, std::string_view station_file = kStationFile, std::string_view station_name = {});

}  // namespace dx
