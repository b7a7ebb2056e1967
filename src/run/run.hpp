#pragma once
// The whole run: load the result store, then write the eleven text tables,
// the eleven GrADS data sets and the two per-period data sets of every
// analysis period, in that fixed order.
#include <string_view>

#include "base/store.hpp"
#include "input/result_files.hpp"
#include "output/sink.hpp"

namespace dx {

// Sets flush-to-zero and denormals-are-zero on top of the inherited
// floating-point mode (x86-64 only; elsewhere nothing to do).
void set_numeric_mode();

// Loads the store and writes every output into the working directory
// through `sink`.  Throws Error on the first failure; nothing is written
// when loading fails.
void run(Store& st, OutputSink& sink, std::string_view station_file = STATION_FILE);

// The program: numeric mode, run (writing behind), final flush of standard
// output.  Prints "drought-export: error: ..." on standard error and
// returns 1 on failure.
int run_program(std::string_view station_file = STATION_FILE);

}  // namespace dx
