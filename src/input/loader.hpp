#pragma once
// The result loader: fills the whole result store from the seven result
// files in the working directory and the station-coordinate file.
#include <string_view>

#include "run/store.hpp"

namespace dx {

// Where the analysis keeps its station coordinates; the program always
// reads them from here.
inline constexpr std::string_view STATION_FILE = "/home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc";

// Fills `st` (arrays, station names and run counts).  Throws Error when an
// input is missing, damaged or inconsistent, before any output is written.
void read_data_nc(Store& st, std::string_view station_file = STATION_FILE);

}  // namespace dx
