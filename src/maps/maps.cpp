#include "maps/maps.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "base/cleanup.hpp"
#include "base/console.hpp"
#include "base/error.hpp"
#include "base/text.hpp"
#include "maps/child.hpp"
#include "maps/hidden_folder.hpp"
#include "maps/page.hpp"
#include "maps/plan.hpp"
#include "maps/script.hpp"
#include "output/atomic_file.hpp"

namespace dx {
namespace {

// Seconds a GrADS process may take for one picture before it is ended.
constexpr double kTimeLimit = 600;

// The names of the step in the output folder: the new maps/ while it is
// drawn, and the old one on its way out where two renames replace it.
constexpr const char* kFinal = "maps";
constexpr const char* kStage = ".maps.dx-tmp";
constexpr const char* kOld = ".maps-old.dx-tmp";
constexpr const char* kEarlierWork = ".maps-work.dx-tmp";

// The station map of every data set the run wrote, written as every output
// is (a temporary file renamed into place).  The data file on disk must
// still be the one this run wrote: the map describes where its reports are.
void write_station_maps(std::span<const WrittenDataSet> written, const FileOps& ops, const OutputFolder& f,
                        CleanupList& cleanup) {
  for (const WrittenDataSet& d : written) {
    const std::string name = d.base + ".dat.map", path = f.shown(name), dat = d.base + ".dat";
    const std::string map = grads_station_map(d.stations, d.steps, path);
    struct stat sb;
    if (::fstatat(f.fd, dat.c_str(), &sb, 0) != 0)
      throw Error("cannot build the station map " + path + ": " + f.shown(dat) + ": " + system_reason(errno));
    if (static_cast<std::uint64_t>(sb.st_size) != d.data_bytes)
      throw Error("cannot build the station map " + path + ": " + f.shown(dat) + " is no longer the data set " +
                  "this run wrote (" + std::to_string(sb.st_size) + " bytes, not " + std::to_string(d.data_bytes) +
                  ")");
    AtomicFile out(ops, f.fd, path, cleanup);
    out.write(map.data(), map.size());
    out.commit();
  }
}

// What went wrong in drawing the picture `png` in the output folder, in
// GrADS' own words where it gave any; "" when it was drawn.
std::string picture_failure(const ChildResult& r, const OutputFolder& f, const std::string& png) {
  if (r.timed_out) return "GrADS did not finish within " + std::to_string(static_cast<int>(kTimeLimit)) + " s";
  if (std::string failure = script_failure(r.output, r.status); !failure.empty()) return failure;
  struct stat sb;
  if (::fstatat(f.fd, png.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0 || sb.st_size == 0) return "GrADS wrote no picture";
  return "";
}

// The progress of the pictures on standard error: "maps: 12/71", redrawn in
// place on a terminal, a line each otherwise.  Progress only: a standard
// error that cannot be written leaves the maps as they are.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), tty_(::isatty(2) == 1) {}
  void step(std::size_t done) {
    static_cast<void>(std::fprintf(stderr, tty_ ? "\rmaps: %zu/%zu" : "maps: %zu/%zu\n", done, total_));
    open_ = tty_ && done < total_;
    if (tty_ && !open_) static_cast<void>(std::fputc('\n', stderr));
    static_cast<void>(std::fflush(stderr));
  }
  // A line left open on a terminal is ended before an error is printed.
  ~Progress() {
    if (open_) static_cast<void>(std::fputc('\n', stderr));
  }

 private:
  std::size_t total_;
  bool tty_;
  bool open_ = false;
};

// Every picture drawn by GrADS in the output folder into the folder
// `stage`, as many at once as the run may use processors; beside each, the
// data sets it draws besides the run's (DrawSet).
void draw_pictures(const Store& st, const std::vector<Picture>& pictures, const MapFrame& frame, const FileOps& ops,
                   const OutputFolder& f, const MapTools& tools, CleanupList& cleanup) {
  const std::string stage = kStage;
  if (frame.gridded()) {
    write_new_file(ops, f, stage + "/" + std::string(kGridName) + ".ctl", grid_descriptor(frame));
    write_new_file(ops, f, stage + "/" + std::string(kGridName) + ".dat", std::string(grid_data_size(frame), '\0'));
  }
  std::vector<ChildJob> jobs;
  for (const Picture& p : pictures) {
    for (const DrawSet& set : p.draw_sets) {
      const std::string base = stage + "/" + set.name;
      const StationSubset files = grads_station_subset(set.name, st.STATION, st.LON, st.LAT, set.steps,
                                                       f.shown(base + ".dat.map"));
      write_new_file(ops, f, base + ".dat", files.data);
      write_new_file(ops, f, base + ".ctl", files.descriptor);
      write_new_file(ops, f, base + ".dat.map", files.map);
    }
    write_new_file(ops, f, stage + "/" + p.name + ".gs", picture_script(p, frame));
    jobs.push_back({{tools.grads, "-blcx", "run " + stage + "/" + p.name + ".gs " + stage}, f.fd, kTimeLimit});
  }
  Progress progress(pictures.size());
  std::size_t done = 0;
  run_children(jobs, usable_cpus(), cleanup, [&](std::size_t i, ChildResult&& r) {
    const std::string failure = picture_failure(r, f, stage + "/" + pictures[i].name + ".png");
    if (!failure.empty()) throw Error("map " + f.shown(kFinal) + "/" + pictures[i].name + ".png: " + failure);
    progress.step(++done);
  });
}

std::string local_time_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  char buf[64];
  if (localtime_r(&t, &tm) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M %Z", &tm) == 0) return "?";
  return buf;
}

// The output folder's absolute path as it is now (it may have been
// renamed since the run began); the path given, made absolute, where the
// system cannot tell.
std::string absolute(const OutputFolder& f, const std::string& dir) {
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(f.fd);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof buf && buf[0] == '/')
    return std::string(buf, static_cast<std::size_t>(n));
  return ::realpath(dir.empty() ? "." : dir.c_str(), buf) != nullptr ? std::string(buf) : dir;
}

}  // namespace

MapTools find_map_tools(const std::string& output_dir) {
  const MapTools t{find_program("grads")};
  if (t.grads.empty())
    throw Error("--maps needs GrADS, but grads is not in PATH; install it with: apt-get install grads");
  const std::string maps = folder_prefix(output_dir) + kFinal;
  struct stat sb;
  if (::lstat(maps.c_str(), &sb) == 0 && !S_ISDIR(sb.st_mode))
    throw Error("cannot replace " + maps + ": " + system_reason(ENOTDIR));
  return t;
}

void draw_maps(const Store& st, std::span<const WrittenDataSet> written, const FileOps& ops, int folder,
               const std::string& output_dir, const MapTools& tools, MapStyle style) {
  const OutputFolder f{folder, folder_prefix(output_dir)};
  const std::size_t stations = written.empty() ? 0 : written.front().stations;
  const MapFrame frame = map_frame(st, stations, style);
  const std::string no_position = "no usable position (longitude and latitude finite, within -180..360 and -90..90)";
  if (frame.stations == 0)
    throw Error("no maps: " + std::string(stations == 0 ? "there is no station" : "no station has a usable position") +
                "; the outputs are complete");
  if (frame.unusable > 0)
    warn(std::to_string(frame.unusable) + (frame.unusable == 1 ? " station has " : " stations have ") + no_position +
         "; " + (frame.unusable == 1 ? "it is" : "they are") + " left off the maps");
  CleanupList cleanup;
  // With the work folder of links that earlier versions drew in, if a
  // killed run of one left it.
  HiddenFolders hidden(ops, cleanup, f, {kStage, kOld, kEarlierWork});
  // Ctrl-C and the like end the GrADS processes and remove the folders.
  const SignalCleanup on_signal(cleanup);
  make_folder(ops, f, kStage);
  write_station_maps(written, ops, f, cleanup);

  const std::vector<Picture> pictures = plan_pictures(st, written, frame);
  draw_pictures(st, pictures, frame, ops, f, tools, cleanup);

  // The page, then maps/ swapped in whole.
  const PageHeader header{local_time_now(), absolute(f, output_dir), frame.stations, frame.unusable,
                          drawing_words(frame)};
  write_new_file(ops, f, std::string(kStage) + "/index.html", index_page(pictures, header));
  swap_in(ops, f, kStage, kFinal, kOld);
  const std::string failure = hidden.remove();
  if (!failure.empty()) warn(failure + "; the maps are complete");
}

}  // namespace dx
