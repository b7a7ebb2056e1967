// drought-export: re-publishes the station results of a drought-index
// analysis as fixed-column text tables and GrADS station data sets.
// It takes no arguments; inputs and outputs are in the working directory.
#include "run/run.hpp"

int main() { return dx::run_program(); }
