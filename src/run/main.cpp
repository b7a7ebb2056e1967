// drought-export: re-publishes the station results of a drought-index
// analysis as fixed-column text tables and GrADS station data sets.
// Without options, inputs and outputs are in the working directory; see
// drought-export --help.
#include "run/run.hpp"

int main(int argc, char* argv[]) { return dx::tool_main(argc, argv); }
