#include "run/options.hpp"

#include <getopt.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

namespace dx {
namespace {

constexpr int kMaps = 256;  // long options only
constexpr int kMapsStyle = 257;

// The styles of --maps-style, as the user names them.
constexpr std::pair<const char*, MapStyle> kStyles[] = {
    {"auto", MapStyle::Auto}, {"marks", MapStyle::Marks}, {"boxes", MapStyle::Boxes}, {"cressman", MapStyle::Cressman}};

const option kLongOptions[] = {
    {"station-file", required_argument, nullptr, 's'},
    {"directory", required_argument, nullptr, 'C'},
    {"output-dir", required_argument, nullptr, 'o'},
    {"maps", no_argument, nullptr, kMaps},
    {"maps-style", required_argument, nullptr, kMapsStyle},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
// The leading ':' tells a missing value (':') from an unknown option ('?').
constexpr const char* kShortOptions = ":s:C:o:hV";

// The option just parsed as the user wrote it: a long name (or its
// abbreviation) without "=VALUE", or "-c".  `value` is its value, if any.
std::string as_written(char* const argv[], int c, const char* value) {
  const char* e = argv[optind - 1];
  if (value != nullptr && e == value && optind >= 2) e = argv[optind - 2];  // the value is an element of its own
  const std::string s(e);
  if (s.starts_with("--")) return s.substr(0, s.find('='));
  return std::string("-") + static_cast<char>(c);
}

// The long options that `written` ("--ma") abbreviates, as getopt_long
// finds them: an exact name alone, else every name it begins.
std::vector<std::string_view> abbreviated(std::string_view written) {
  const std::string_view name = written.substr(2);
  std::vector<std::string_view> found;
  for (const option* o = kLongOptions; o->name != nullptr; ++o) {
    if (name == o->name) return {o->name};
    if (std::string_view(o->name).starts_with(name)) found.push_back(o->name);
  }
  return found;
}

}  // namespace

std::variant<Options, UsageError> parse_options(int argc, char* const argv[]) {
  Options opt;
  bool help = false, version = false;
  optind = 0;  // glibc: start afresh, whatever an earlier parse left
  opterr = 0;  // the messages are ours
  for (int c; (c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1;) {
    switch (c) {
      case 's':
      case 'C':
      case 'o':
        if (*optarg == '\0') return UsageError{"option '" + as_written(argv, c, optarg) + "' has an empty value"};
        (c == 's' ? opt.station_file : c == 'C' ? opt.directory : opt.output_dir) = optarg;
        break;
      case 'h': help = true; break;
      case 'V': version = true; break;
      case kMaps: opt.maps = true; break;
      case kMapsStyle: {
        const auto* s = std::find_if(std::begin(kStyles), std::end(kStyles),
                                     [](const auto& k) { return std::string_view(optarg) == k.first; });
        if (s == std::end(kStyles))
          return UsageError{"option '" + as_written(argv, c, optarg) + "' takes auto, marks, boxes or cressman, not '" +
                            optarg + "'"};
        opt.maps = true;
        opt.map_style = s->second;
        break;
      }
      case ':': return UsageError{"option '" + as_written(argv, optopt, nullptr) + "' needs a value"};
      default:
        // optopt is 0 for an unknown long option, one of ours for a long
        // option given a value it does not take, else the unknown letter.
        if (optopt == 'h' || optopt == 'V' || optopt == kMaps)
          return UsageError{"option '" + as_written(argv, optopt, nullptr) + "' takes no value"};
        if (optopt != 0) return UsageError{std::string("unknown option '-") + static_cast<char>(optopt) + "'"};
        // An unknown long option, or an abbreviation of several.
        const std::string written = as_written(argv, 0, nullptr);
        if (const std::vector<std::string_view> names = abbreviated(written); names.size() > 1) {
          std::string m = "option '" + written + "' is ambiguous; possibilities:";
          for (const std::string_view n : names) m.append(" '--").append(n).append("'");
          return UsageError{m};
        }
        return UsageError{"unknown option '" + written + "'"};
    }
  }
  if (optind < argc) return UsageError{std::string("unexpected argument '") + argv[optind] + "'"};
  if (help) opt.action = Options::Action::Help;
  else if (version) opt.action = Options::Action::Version;
  return opt;
}

std::string help_text() {
  return "Usage: drought-export [OPTION]...\n"
         "Writes the station results of a drought-index analysis (seven netCDF result\n"
         "files) as 11 fixed-column text tables and 35 GrADS station data sets.\n"
         "Without options it reads the result files in the working folder and the\n"
         "station coordinates from " +
         std::string(kStationFile) +
         ",\n"
         "and writes its 81 outputs into the working folder.\n"
         "\n"
         "  -s, --station-file=FILE  read the station coordinates (lon, lat, reg) from FILE\n"
         "  -C, --directory=DIR      change to DIR first, as make -C does: read the result\n"
         "                           files there and write the outputs there; a relative\n"
         "                           FILE or output folder is then relative to DIR\n"
         "  -o, --output-dir=DIR     write the outputs into DIR, created (with its\n"
         "                           parents) when missing\n"
         "      --maps               then draw them with GrADS (grads): the station\n"
         "                           map NAME.dat.map of every data set, and in maps/ one\n"
         "                           picture per data set and drought class with a page\n"
         "                           maps/index.html to open in a browser; the maps\n"
         "                           show the stations' region (polar beyond 60 degrees),\n"
         "                           scales from the bulk of the values (outliers in open\n"
         "                           end classes), significant stations ringed, missing\n"
         "                           values as grey crosses; stations without a usable\n"
         "                           position are left off with a warning; and the\n"
         "                           explorer maps/explorer.html: every station on one\n"
         "                           map to zoom, with its value and all its statistics\n"
         "      --maps-style=STYLE   draw the values of the maps as STYLE (implies --maps):\n"
         "                           auto (the default: marks up to 5000 stations, boxes\n"
         "                           above), marks (one per station), boxes (box averages\n"
         "                           on a grid) or cressman (a Cressman analysis on a\n"
         "                           grid; slow beyond a few thousand stations)\n"
         "  -h, --help               print this help and exit\n"
         "  -V, --version            print the version and exit\n"
         "An option given more than once takes its last value.\n"
         "\n"
         "Exit status: 0 when every output is written, 1 on a fault (one error line on\n"
         "standard error says which), 2 on a usage error.\n"
         "Manual: man drought-export once installed; in the source folder,\n"
         "man -l man/drought-export.1\n";
}

std::string path_as_given(const Options& opt, const std::string& path) {
  if (opt.directory.empty() || path.starts_with('/')) return path;
  std::string_view dir = opt.directory;
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return std::string(dir) + (dir == "/" ? "" : "/") + path;
}

}  // namespace dx
