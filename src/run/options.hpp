#pragma once
// The command line: a few GNU-style options (getopt_long), no operands.
// Without options a run is the plain run: the station file at its fixed
// path, the result files read from and the outputs written into the
// working folder.
#include <string>
#include <string_view>
#include <variant>

#include "input/result_files.hpp"
#include "maps/style.hpp"

namespace dx {

struct Options {
  enum class Action { Run, Help, Version };
  Action action = Action::Run;
  std::string station_file{kStationFile};  // -s, --station-file
  std::string directory;                   // -C, --directory: empty to stay in the working folder
  std::string output_dir;                  // -o, --output-dir: empty for the working folder
  bool maps = false;                       // --maps: GrADS station maps and pictures after the outputs
  MapStyle map_style = MapStyle::Auto;     // --maps-style (implies --maps)
  bool operator==(const Options&) const = default;
};

// A command line that cannot be run: unknown option, missing or empty
// value, operand.  The message names what is wrong.
struct UsageError {
  std::string message;
};

// Parses argv[1..argc-1].  Help wins over the version, which wins over a
// run; a usage error wins over all.  getopt_long may reorder argv.
std::variant<Options, UsageError> parse_options(int argc, char* const argv[]);

// The text of --help.
std::string help_text();

// How `path` of the command line reads from the folder the tool was started
// in: a relative path is taken relative to the folder of -C, so under
// "-C results" the station file "results/SPI_Stn.nc" is named
// "results/results/SPI_Stn.nc" in messages.  An empty `path` gives the
// prefix of every relative path ("results/"; empty without -C).
std::string path_as_given(const Options& opt, const std::string& path);

}  // namespace dx
