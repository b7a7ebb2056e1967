#include "run/run.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#define DX_HAVE_MXCSR 1
#endif

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/format.hpp"
#include "base/text.hpp"
#include "input/loader.hpp"
#include "maps/maps.hpp"
#include "output/catalogue.hpp"
#include "output/grads.hpp"
#include "base/cleanup.hpp"
#include "output/text_table.hpp"
#include "run/folder_lock.hpp"
#include "run/input_check.hpp"

namespace dx {
namespace {

// Where the data sets go without an output folder; text tables then have
// bare names.
constexpr std::string_view kDir = "./";

// Before anything is read: the output folder is made when missing, with
// its parents, as mkdir -p does (mode 0777 less the umask); `name` is its
// name in messages.
void make_output_folder(const std::string& dir, const std::string& name) {
  for (std::size_t end = 0; end != std::string::npos;) {
    end = dir.find('/', end + 1);
    const std::string part = dir.substr(0, end);
    // An existing part is left as it is; one that is not a folder makes
    // the next part fail, or the check below.
    if (!part.ends_with('/') && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
      throw Error("cannot create the output folder " + name + ": " + std::strerror(errno));
  }
  struct stat sb;
  if (::stat(dir.c_str(), &sb) != 0) throw Error("output folder " + name + ": " + std::strerror(errno));
  if (!S_ISDIR(sb.st_mode)) throw Error("output folder " + name + ": " + std::strerror(ENOTDIR));
}

// The outputs of a run as its messages name them, in the order of
// output_files(): text tables with bare names and data sets with "./"
// in the working folder, all with the folder's prefix otherwise.
std::vector<std::string> shown_outputs(const std::string& output_dir) {
  std::vector<std::string> names = output_files(kPeriods);
  const std::string folder = folder_prefix(output_dir);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool table = i < kStatistics.size();
    names[i].insert(0, output_dir.empty() && !table ? std::string(kDir) : folder);
  }
  return names;
}

// Before anything is read: the name and the path of every output and of
// its temporary file fit the limits of the folder `folder`, so that a run
// never stops part-way on a name too long.  `outputs` are the paths from
// the working folder, `shown` the same outputs as messages name them.
void check_output_names(int folder, const std::vector<std::string>& outputs, const std::vector<std::string>& shown) {
  const auto longest = std::max_element(outputs.begin(), outputs.end(),
                                        [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  std::size_t longest_name = 0;
  for (const std::string& o : outputs) longest_name = std::max(longest_name, o.size() - (o.rfind('/') + 1));
  const std::size_t temp = kTempSuffix.size();
  const long name_max = ::fpathconf(folder, _PC_NAME_MAX);
  const long path_max = ::fpathconf(folder, _PC_PATH_MAX);
  const std::size_t max_path = path_max > 0 ? static_cast<std::size_t>(path_max) : std::size_t{PATH_MAX};
  if ((name_max > 0 && longest_name + temp > static_cast<std::size_t>(name_max)) || longest->size() + temp >= max_path)
    throw Error("cannot create " + shown[static_cast<std::size_t>(longest - outputs.begin())] + ": " +
                std::strerror(ENAMETOOLONG));
}

// Before anything is read: no output, nor its temporary file, is one of
// the input files, by device and inode, whatever the paths or links they
// are named by (nor the link an input is named by): writing it would
// replace or remove that input.  `outputs` are the outputs as messages name
// them.
void check_inputs_kept(int folder, const std::vector<std::string>& outputs, const Options& opt) {
  struct Input {
    dev_t dev;
    ino_t ino;
    std::string name;  // in messages
    bool station;
  };
  std::vector<Input> inputs;
  for (std::size_t i = 0; i < kInputFileNames.size(); ++i) {
    const bool station = static_cast<int>(i) == kStationInput;
    const std::string path = station ? opt.station_file : std::string(kInputFileNames[i]);
    const std::string name = path_as_given(opt, path);
    struct stat sb {};
    if (::stat(path.c_str(), &sb) == 0) inputs.push_back({sb.st_dev, sb.st_ino, name, station});
    if (::lstat(path.c_str(), &sb) == 0) inputs.push_back({sb.st_dev, sb.st_ino, name, station});
  }
  for (const std::string& out : outputs) {
    const std::string name = out.substr(out.rfind('/') + 1);
    for (const bool temp : {false, true}) {
      struct stat sb {};
      const std::string n = temp ? name + std::string(kTempSuffix) : name;
      if (::fstatat(folder, n.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) continue;
      for (const Input& in : inputs) {
        if (in.dev == sb.st_dev && in.ino == sb.st_ino) {
          // No output is a netCDF file: a station file that is one was
          // most likely given by mistake.
          throw Error(std::string(temp ? "the temporary file " + out + std::string(kTempSuffix) : "the output " + out) +
                      " would replace the input file " + in.name +
                      (in.station ? " (the station file of -s must be the netCDF station-coordinate file, with lon, "
                                    "lat and reg)"
                                  : ""));
        }
      }
    }
  }
}

// "drought-export: error: <message>" and `more` on standard error, after
// what standard output holds; a failing standard error leaves nothing to
// report to.  The names in a message may hold any bytes: it is made
// printable, so that it stays one line.
void print_error(const std::string& message, const char* more = "") {
  static_cast<void>(std::fflush(stdout));
  static_cast<void>(std::fprintf(stderr, "drought-export: error: %s\n%s", printable(message).c_str(), more));
}

// X(s, k) = per-period array (k, s, p) for every station s and class k.
void take_slice(const Array3& src, std::size_t p, Array2& x) {
  const std::size_t nstn = std::min(x.extent(0), src.extent(1));
  const std::size_t ncls = std::min(x.extent(1), src.extent(0));
  if (nstn == 0 || ncls == 0) return;
  // Station by station: the classes of a station are adjacent in the
  // source, and each class column of X is written front to back.
  const std::size_t src_ncls = src.extent(0), x_nstn = x.extent(0);
  const float* in = src.data() + p * src.extent(1) * src_ncls;
  float* const out = x.data();
  for (std::size_t s = 0; s < nstn; ++s, in += src_ncls)
    for (std::size_t k = 0; k < ncls; ++k) out[k * x_nstn + s] = in[k];
}

}  // namespace

void set_numeric_mode() {
#ifdef DX_HAVE_MXCSR
  _mm_setcsr(_mm_getcsr() | 0x8040u);
#endif
}

std::vector<WrittenDataSet> write_outputs(Store& st, OutputSink& sink, std::string_view output_dir) {
  const std::string prefix = folder_prefix(output_dir);
  const std::string_view dir = output_dir.empty() ? kDir : std::string_view(prefix);
  for (const Statistic* t : statistics_in_table_order()) {
    st.TITLE = pad_to(t->table_title, kTitleLen);
    write_to_text(sink, st.*t->values, st.NSTN, static_cast<int>(t->names.size()), st.LON, st.LAT, st.REG, t->names,
                  st.TITLE, prefix + std::string(t->table));
  }

  std::vector<WrittenDataSet> written;
  for (const Statistic& d : kStatistics) {
    written.push_back(write_grads_stn(sink, st.STATION, st.LAST_STN_ID, st.*d.values, st.LON, st.LAT, st.NSTN,
                                      st.*d.ncol, d.base, dir, d.var));
    if (written.size() == 1) {
      sink.settle();  // the data set is on disk before it is reported done
      console_line({Value::text("Write to Grads Num_Dr_Mon Done")});
    }
  }

  st.X.allocate({count_to_size(st.NSTN), count_to_size(st.NCLASS)});
  // Never beyond the periods that FRE and MAG hold.
  const auto nperiod = static_cast<std::int32_t>(count_within(st.NPERIOD, {st.FRE.extent(2)}));
  const auto ncls = static_cast<std::int32_t>(count_within(st.NCLASS, {st.X.extent(1)}));
  for (std::int32_t p = 1; p <= nperiod; ++p) {
    for (const PeriodStatistic& s : kPeriodStatistics) {
      take_slice(st.*s.values, static_cast<std::size_t>(p - 1), st.X);
      st.FNAME = pad_to(period_base(s.prefix, p), kFnameLen);
      written.push_back(write_grads_stn(sink, st.STATION, st.LAST_STN_ID, st.X, st.LON, st.LAT, st.NSTN, ncls,
                                        trim_right(st.FNAME), dir, s.var));
    }
  }
  sink.settle();
  return written;
}

int run_program(const Options& opt) {
  set_numeric_mode();
  // An output beyond the file-size limit of the process (ulimit -f) is a
  // failed write, reported as such, not a silent end by SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    // As if started there: every other path is then relative to it.
    if (!opt.directory.empty() && ::chdir(opt.directory.c_str()) != 0)
      throw Error("cannot change to the folder " + opt.directory + ": " + std::strerror(errno));
    // Messages name every file as the user would find it: under -C, in its
    // folder.
    const std::string shown_dir = opt.output_dir.empty() ? opt.directory : path_as_given(opt, opt.output_dir);
    // GrADS for --maps is looked for before anything is read.
    const std::optional<MapTools> tools = opt.maps ? std::optional<MapTools>(find_map_tools(opt.output_dir, shown_dir))
                                                   : std::nullopt;
    // Every input is there before the first progress line.
    check_inputs(opt);
    if (!opt.output_dir.empty()) make_output_folder(opt.output_dir, path_as_given(opt, opt.output_dir));
    // Before anything is read: a second run into the same folder stops here.
    // Every output is then written through the descriptor of the folder
    // locked, whatever happens to its path meanwhile.
    const FolderLock lock(opt.output_dir.empty() ? std::string(".") : opt.output_dir);
    const std::vector<std::string> shown = shown_outputs(shown_dir);
    check_output_names(lock.fd(), shown_outputs(opt.output_dir), shown);
    check_inputs_kept(lock.fd(), shown, opt);
    Store st;
    read_data_nc(st, opt.station_file, path_as_given(opt, ""));
    std::vector<WrittenDataSet> written;
    {
      // The writes, closes and renames run on a second thread while this one
      // formats; the files and their order stay the same.  (Started only now:
      // the loading has the whole memory of the run to itself.)
      const std::unique_ptr<OutputSink> sink = make_output_sink(OutputSink::Mode::Behind, system_file_ops(), lock.fd());
      // Ctrl-C and the like remove the temporary files being written.
      const SignalCleanup cleanup(sink->cleanup());
      written = write_outputs(st, *sink, shown_dir);
    }
    console_flush();
    if (tools) {
      draw_maps(st, written, system_file_ops(), lock.fd(), shown_dir, *tools, opt.map_style);
    } else {
      // A station map an earlier run with --maps left beside a data set
      // this run replaced describes the old one: written afresh.
      CleanupList maps_cleanup;
      const SignalCleanup on_signal(maps_cleanup);
      write_station_maps(written, system_file_ops(), lock.fd(), folder_prefix(shown_dir), maps_cleanup, true);
    }
    return 0;
  } catch (const Error& e) {
    print_error(e.what());  // progress lines printed before the failure stay
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  }
  return 1;
}

int tool_main(int argc, char* argv[]) {
  const auto parsed = parse_options(argc, argv);
  if (const auto* bad = std::get_if<UsageError>(&parsed)) {
    print_error(bad->message, "Try 'drought-export --help' for more information.\n");
    return 2;
  }
  const Options& opt = std::get<Options>(parsed);
  if (opt.action == Options::Action::Run) return run_program(opt);
  try {
    console_write(opt.action == Options::Action::Help ? help_text() : "drought-export " DX_VERSION "\n");
    console_flush();
    return 0;
  } catch (const Error& e) {
    print_error(e.what());
  }
  return 1;
}

}  // namespace dx
