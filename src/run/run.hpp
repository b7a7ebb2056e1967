#pragma once
// The whole run: load the result store, then write the eleven text tables,
// the eleven GrADS data sets and the two per-period data sets of every
// analysis period, in that fixed order.
#include <string_view>
#include <vector>

#include "base/store.hpp"
#include "input/result_files.hpp"
#include "output/grads.hpp"
#include "output/sink.hpp"
#include "run/options.hpp"

namespace dx {

// Sets flush-to-zero and denormals-are-zero on top of the inherited
// floating-point mode (x86-64 only; elsewhere nothing to do).
void set_numeric_mode();

// Writes every output of the loaded store through `sink` (into the folder
// it was made for), in the run's fixed order.  Messages name the outputs
// with bare names for the text tables and "./" for the data sets, or in
// `output_dir` when one is given (the output folder as the user would find
// it).  Throws Error on the first failure.  Returns the data sets written,
// in order.
std::vector<WrittenDataSet> write_outputs(Store& st, OutputSink& sink, std::string_view output_dir = {});

// The program: numeric mode, -C entered, every input looked up (see
// check_inputs), the folder of -o made when missing, the lock on the
// output folder, loading (see read_data_nc; nothing is written when it
// fails), the outputs (writing behind), final flush of standard output.  Prints "drought-export: error: ..." on
// standard error and returns 1 on failure.
int run_program(const Options& opt);

// The whole tool from its command line: usage errors (status 2, with a
// hint at --help on standard error), --help and --version (status 0), or
// run_program.  Returns the exit status.
int tool_main(int argc, char* argv[]);

}  // namespace dx
