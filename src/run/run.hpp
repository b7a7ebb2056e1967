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

// Writes every output of the loaded store into the working directory
// through `sink`, in the run's fixed order.  Throws Error on the first
// failure.
void write_outputs(Store& st, OutputSink& sink);

// The program: numeric mode, the lock on the output folder, loading (see
// read_data_nc; nothing is written when it fails), the outputs (writing
// behind), final flush of standard output.  Prints "drought-export: error: ..." on standard error and
// returns 1 on failure.
int run_program(std::string_view station_file = STATION_FILE);

}  // namespace dx
