#include "run/input_check.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "input/nc_file.hpp"
#include "input/result_files.hpp"

namespace dx {
namespace {

// The first variable read from input file `file`.
std::string_view first_variable(int file) {
  for (const InputVar& v : input_reads())
    if (v.file == file) return v.var;
  return {};
}

// 0 when `path` is a regular file, else the reason: the system's, or
// -1 for a file of another kind.
int fault_of(const std::string& path) {
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) return errno;
  return S_ISREG(sb.st_mode) ? 0 : -1;
}

// The reader's message for input `file` (named `name`) with fault `fault`.
std::string message(const std::string& name, int file, int fault) {
  const std::string_view var = first_variable(file);
  if (fault < 0) return not_regular_file(name, var);
  return cannot_open(name, var, system_reason(fault));
}

}  // namespace

void check_inputs(const Options& opt) {
  int faults[kInputFiles] = {};
  bool none_there = true;
  for (int f = 0; f < kStationInput; ++f) {
    faults[f] = fault_of(std::string(kInputFileNames[static_cast<std::size_t>(f)]));
    none_there = none_there && faults[f] == ENOENT;
  }
  // A result file is named as the user would find it: under -C, in its folder.
  const auto shown = [&opt](int f) {
    return path_as_given(opt, std::string(kInputFileNames[static_cast<std::size_t>(f)]));
  };
  if (none_there) {
    throw Error(message(shown(0), 0, ENOENT) +
                " (none of the seven result files is there: they are read from the working directory, or "
                "from the folder of -C)");
  }
  for (int f = 0; f < kStationInput; ++f)
    if (faults[f] != 0) throw Error(message(shown(f), f, faults[f]));

  if (const int fault = fault_of(opt.station_file); fault != 0) {
    std::string m = message(path_as_given(opt, opt.station_file), kStationInput, fault);
    if (opt.station_file == kStationFile) m += " (give the station file with -s FILE)";
    throw Error(m);
  }
}

}  // namespace dx
