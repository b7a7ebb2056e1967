#pragma once
// The whole run: load the result store, then write the eleven text tables,
// the eleven GrADS data sets and the two per-period data sets of every
// analysis period, in that fixed order.
#include <string_view>

#include "input/loader.hpp"
#include "run/store.hpp"

namespace dx {

// Sets flush-to-zero and denormals-are-zero on top of the inherited
// floating-point mode (x86-64 only; elsewhere nothing to do).
void set_numeric_mode();

// Loads and writes every output into the working directory.  Throws Error
// on the first failure; nothing is written when loading fails.
void run(Store& st, std::string_view station_file = STATION_FILE);

// The program: numeric mode, run, final flush of standard output.  Prints
// "drought-export: error: ..." on standard error and returns 1 on failure.
int run_program(std::string_view station_file = STATION_FILE);

}  // namespace dx
