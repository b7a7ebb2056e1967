#pragma once
// Checks of what a run wrote: the names of its outputs, every output of a
// successful run against its inputs, and the expected fields of the text
// tables.
#include <cstdint>
#include <string>
#include <vector>

namespace dxtest {

// The 81 output files of a complete run (12 analysis periods), sorted by
// name, and in the order the run writes them.
std::vector<std::string> output_names();
std::vector<std::string> output_order();
// The entries of `dir` that are not netCDF inputs, sorted.
std::vector<std::string> outputs_in(const std::string& dir);

// Stand-ins for the outputs of an earlier run (a table, a data file, a
// descriptor), written into `dir` for a failing run to leave alone.
void write_previous_outputs(const std::string& dir);

// Checks the outputs that a successful run left in `dir` against its
// inputs (the result files in `dir`, the station file at `station`), read
// back through the netCDF library: the list of files, every size, every
// report of every GrADS data file, the descriptors' data-set and time
// lines, and the lines of stations 1, `pick` % S + 1 and S in every text
// table.  Records test failures; returns false if any check failed.
bool check_outputs(const std::string& dir, const std::string& station, std::uint64_t pick = 0);

// Expected fields of a text table, computed independently of the tool:
// Fw.d of x (from its exact decimal expansion), I4 of a region code.
std::string f_field(float x, int w, int d = 3);
std::string reg_field(float x);

}  // namespace dxtest
