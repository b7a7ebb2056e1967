#include "maps/maps.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "base/cleanup.hpp"
#include "base/console.hpp"
#include "base/error.hpp"
#include "base/text.hpp"
#include "maps/child.hpp"
#include "maps/explorer.hpp"
#include "maps/hidden_folder.hpp"
#include "maps/page.hpp"
#include "maps/png.hpp"
#include "maps/plan.hpp"
#include "maps/script.hpp"

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

// Why a picture may be missing or cut, where it can be known: a file
// system without room for one (GrADS itself does not say).
std::string lack_of_room(int dir) {
  constexpr std::uint64_t kPictureRoom = 1 << 20;
  struct statvfs sv;
  if (::fstatvfs(dir, &sv) != 0) return "";
  if (sv.f_favail == 0 || std::uint64_t{sv.f_bavail} * sv.f_frsize < kPictureRoom) return ": " + system_reason(ENOSPC);
  return "";
}

// What went wrong in drawing the picture `png` in the output folder, in
// GrADS' own words where it gave any; "" when it was drawn: when the
// script reached its end and the file is a whole PNG of the picture's size.
std::string picture_failure(const ChildResult& r, const OutputFolder& f, const std::string& png) {
  if (r.timed_out) return "GrADS did not finish within " + std::to_string(static_cast<int>(kTimeLimit)) + " s";
  if (std::string failure = script_failure(r.output, r.status, r.signal); !failure.empty()) return failure;
  std::string bytes;
  const int err = read_file(f.fd, png, bytes);
  std::string defect = err == ENOENT ? "GrADS wrote no picture"
                       : err != 0    ? "cannot read the picture: " + system_reason(err)
                                     : png_defect(bytes, kPictureWidth, kPictureHeight);
  return defect.empty() ? defect : defect + lack_of_room(f.fd);
}

// The progress of the pictures on standard error: "maps: 12/71", and the
// picture that keeps GrADS long ("maps: 12/71, maps/Fre_all.png: 30 s so
// far"), redrawn in place on a terminal, a line each otherwise.  Progress
// only: a standard error that cannot be written leaves the maps as they are.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), tty_(::isatty(2) == 1) {}
  void step(std::size_t done) {
    done_ = done;
    show("maps: " + std::to_string(done) + "/" + std::to_string(total_));
  }
  void slow(const std::string& picture, double seconds) {
    show("maps: " + std::to_string(done_) + "/" + std::to_string(total_) + ", " + picture + ": " +
         std::to_string(static_cast<long>(seconds)) + " s so far");
  }
  // A line left open on a terminal is ended before an error is printed.
  ~Progress() {
    if (open_) static_cast<void>(std::fputc('\n', stderr));
  }

 private:
  void show(const std::string& line) {
    if (tty_) {
      // Over the line before, its end blanked.
      const std::size_t pad = shown_ > line.size() ? shown_ - line.size() : 0;
      static_cast<void>(std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(pad), ""));
      shown_ = line.size();
    } else {
      static_cast<void>(std::fprintf(stderr, "%s\n", line.c_str()));
    }
    open_ = tty_ && done_ < total_;
    if (tty_ && !open_) static_cast<void>(std::fputc('\n', stderr));
    static_cast<void>(std::fflush(stderr));
  }
  std::size_t total_, done_ = 0, shown_ = 0;
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
  run_children(jobs, usable_cpus(), cleanup,
               [&](std::size_t i, ChildResult&& r) {
                 const std::string failure = picture_failure(r, f, stage + "/" + pictures[i].name + ".png");
                 if (!failure.empty())
                   throw Error("map " + f.shown(kFinal) + "/" + pictures[i].name + ".png: " + failure);
                 progress.step(++done);
               },
               {30, [&](std::size_t i, double seconds) {
                  progress.slow(f.shown(kFinal) + "/" + pictures[i].name + ".png", seconds);
                }});
}

std::string local_time_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  char buf[64];
  if (localtime_r(&t, &tm) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M %Z", &tm) == 0) return "?";
  return buf;
}

// The output folder's absolute path as it is now (it may have been
// renamed since the run began); where the system cannot tell (a path
// longer than it handles), the folder as the user named it ("" for the
// working folder).
std::string absolute(const OutputFolder& f, const std::string& shown_dir) {
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(f.fd);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof buf && buf[0] == '/')
    return std::string(buf, static_cast<std::size_t>(n));
  return shown_dir;
}

// The first entry of the folder `maps` that the maps step did not make
// (its pictures, scripts, data sets, pages and the explorer's data), as
// the user would name it; "" when there is none or no folder.  Replacing
// the folder would delete it.
std::string foreign_entry(const std::string& maps) {
  const auto ours = [](const std::string& name, bool in_explorer) {
    std::size_t stem = 0;
    const auto word = [&](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (in_explorer && c == '-');
    };
    while (stem < name.size() && word(name[stem])) ++stem;
    const std::string_view ext = std::string_view(name).substr(stem);
    if (stem == 0) return false;
    if (in_explorer) return ext == ".js";
    return ext == ".png" || ext == ".gs" || ext == ".ctl" || ext == ".dat" || ext == ".dat.map" || ext == ".html";
  };
  std::vector<std::string> folders = {""};
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::string dir = folders[i].empty() ? maps : maps + "/" + folders[i];
    // No maps/ (or one that cannot be read: the swap then says why) holds
    // nothing; an explorer/ that cannot be read is named.
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return folders[i];
    std::string found;
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string shown = folders[i].empty() ? name : folders[i] + "/" + name;
      struct stat sb;
      if (::fstatat(::dirfd(d), name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (i == 0 && name == kExplorerFolder && S_ISDIR(sb.st_mode)) folders.push_back(name);
      else if (!S_ISREG(sb.st_mode) || !ours(name, i > 0)) found = shown;
      if (!found.empty()) break;
    }
    static_cast<void>(::closedir(d));  // read only: nothing to report
    if (!found.empty()) return found;
  }
  return "";
}

}  // namespace

MapTools find_map_tools(const std::string& output_dir, const std::string& shown_dir) {
  std::string not_runnable;
  const MapTools t{find_program("grads", &not_runnable)};
  if (t.grads.empty() && !not_runnable.empty())
    throw Error("--maps needs GrADS, but " + not_runnable + " cannot be run (" + system_reason(EACCES) +
                "); make it executable, or install GrADS with: apt-get install grads");
  if (t.grads.empty())
    throw Error("--maps needs GrADS, but grads is not in PATH; install it with: apt-get install grads");
  const std::string maps = folder_prefix(output_dir) + kFinal, shown = folder_prefix(shown_dir) + kFinal;
  struct stat sb;
  if (::lstat(maps.c_str(), &sb) == 0 && !S_ISDIR(sb.st_mode))
    throw Error("cannot replace " + shown + ": " + system_reason(ENOTDIR));
  if (const std::string foreign = foreign_entry(maps); !foreign.empty())
    throw Error("cannot replace " + shown + ": it holds " + foreign +
                ", which --maps did not make; move it or remove it, and run again");
  return t;
}

void draw_maps(const Store& st, std::span<const WrittenDataSet> written, const FileOps& ops, int folder,
               const std::string& shown_dir, const MapTools& tools, MapStyle style) {
  const OutputFolder f{folder, folder_prefix(shown_dir)};
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
  write_station_maps(written, ops, f.fd, f.prefix, cleanup, false);

  const std::vector<Picture> pictures = plan_pictures(st, written, frame);
  draw_pictures(st, pictures, frame, ops, f, tools, cleanup);

  // The explorer and the page, then maps/ swapped in whole.  (Not written
  // while GrADS draws: a signal's cleanup cannot remove a folder that a
  // thread of the run still fills.)
  write_explorer(st, written, frame, pictures, ops, f, kStage);
  const PageHeader header{local_time_now(), absolute(f, shown_dir), frame.stations,
                          frame.unusable,   drawing_words(frame),   true};
  write_new_file(ops, f, std::string(kStage) + "/index.html", index_page(pictures, header));
  swap_in(ops, f, kStage, kFinal, kOld);
  const std::string failure = hidden.remove();
  if (!failure.empty()) warn(failure + "; the maps are complete");
}

}  // namespace dx
