#include "maps/maps.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/text.hpp"
#include "maps/child.hpp"
#include "maps/page.hpp"
#include "maps/pictures.hpp"
#include "output/file_ops.hpp"
#include "output/temp_files.hpp"

namespace dx {
namespace {

// Seconds a GrADS or stnmap process may take before it is ended.
constexpr double kTimeLimit = 600;

std::string reason(int err) { return std::strerror(err ? err : EIO); }

// The program `name` in PATH, as an absolute path; "" if none.
std::string find_program(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::stringstream in(dirs);
  for (std::string d; std::getline(in, d, ':');) {
    std::string p = d.empty() ? std::string(".") : d;
    p.append("/").append(name);
    struct stat sb;
    if (::stat(p.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode) || ::access(p.c_str(), X_OK) != 0) continue;
    if (p.front() != '/') {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd) == nullptr) continue;
      p = std::string(cwd).append("/").append(p);
    }
    return p;
  }
  return "";
}

// Removes a folder left by a run that was killed, if there is one.
void remove_leftover(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) throw Error("cannot remove " + path + " (left by an earlier run): " + ec.message());
}

void make_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) throw Error("cannot create " + path + ": " + reason(errno));
}

void make_link(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) throw Error("cannot create " + path + ": " + reason(errno));
}

void write_new_file(const std::string& path, const std::string& bytes) {
  const FileOps& ops = system_file_ops();
  const int fd = ops.open(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw Error(output_failure("cannot create", path, errno));
  const int err = write_fully(ops, fd, bytes.data(), bytes.size());
  if (err != 0) {
    static_cast<void>(ops.close(fd));  // the write failure is the one to report
    throw Error(output_failure("cannot write", path, err));
  }
  if (ops.close(fd) != 0) throw Error(output_failure("cannot close", path, errno));
}

// The lines of a child's output without blanks at their ends, empty ones
// left out.
std::vector<std::string> lines_of(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);) {
    const auto b = l.find_first_not_of(" \t\r"), e = l.find_last_not_of(" \t\r");
    if (b != std::string::npos) lines.push_back(l.substr(b, e - b + 1));
  }
  return lines;
}

// What went wrong in a GrADS run, in GrADS' own words where it gave any.
// Empty when the picture was drawn.
std::string grads_failure(const ChildResult& r, const std::string& png) {
  const std::vector<std::string> lines = lines_of(r.output);
  if (r.timed_out) return "GrADS did not finish within " + std::to_string(static_cast<int>(kTimeLimit)) + " s";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].starts_with("DX-FAIL ")) continue;
    std::string msg = std::string("'").append(lines[i], 8).append("' failed:");
    for (std::size_t j = i + 1; j < lines.size() && !lines[j].starts_with("DX-"); ++j) msg += " " + lines[j];
    return msg;
  }
  const bool finished = std::find(lines.begin(), lines.end(), "DX-DONE") != lines.end();
  if (!finished) {
    std::string msg = "GrADS stopped before the end of its script";
    if (r.status != 0 && r.status != 99) msg += " (status " + std::to_string(r.status) + ")";
    return lines.empty() ? msg : msg + ": " + lines.back();
  }
  struct stat sb;
  if (::stat(png.c_str(), &sb) != 0 || sb.st_size == 0) return "GrADS wrote no picture";
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

std::string local_time_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  char buf[64];
  if (localtime_r(&t, &tm) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M %Z", &tm) == 0) return "?";
  return buf;
}

std::string absolute(const std::string& dir) {
  char buf[PATH_MAX];
  return ::realpath(dir.empty() ? "." : dir.c_str(), buf) != nullptr ? std::string(buf) : dir;
}

// The new folder `fresh` takes the place of `final`, whose old content, if
// any, ends up in `fresh` (or `old`) for removal.  One atomic exchange where
// the file system offers it; else two renames.
void swap_in(const std::string& fresh, const std::string& final, const std::string& old) {
  struct stat sb;
  if (::lstat(final.c_str(), &sb) != 0) {
    if (errno != ENOENT) throw Error("cannot replace " + final + ": " + reason(errno));
    if (::rename(fresh.c_str(), final.c_str()) != 0) throw Error("cannot replace " + final + ": " + reason(errno));
    return;
  }
  if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throw Error("cannot replace " + final + ": " + reason(errno));
  if (::rename(final.c_str(), old.c_str()) != 0) throw Error("cannot replace " + final + ": " + reason(errno));
  if (::rename(fresh.c_str(), final.c_str()) != 0) {
    const int err = errno;
    static_cast<void>(::rename(old.c_str(), final.c_str()));  // the old one back; the error says what failed
    throw Error("cannot replace " + final + ": " + reason(err));
  }
}

// Removes the work folders however the step ends.
class Folders {
 public:
  Folders(TempFiles& temps, std::vector<std::string> paths) : temps_(temps), paths_(std::move(paths)) {
    for (const std::string& p : paths_) {
      remove_leftover(p);
      slots_.push_back(temps_.add_folder(AT_FDCWD, p));
    }
  }
  // Removes them now; returns the message of the first that cannot be
  // removed, or "".
  std::string remove() noexcept {
    std::string failure;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      std::error_code ec;
      std::filesystem::remove_all(paths_[i], ec);
      if (ec && failure.empty()) failure = "cannot remove " + paths_[i] + ": " + ec.message();
      temps_.remove(slots_[i]);
    }
    paths_.clear();
    return failure;
  }
  ~Folders() { static_cast<void>(remove()); }  // after a failure: the failure is the one reported

 private:
  TempFiles& temps_;
  std::vector<std::string> paths_;
  std::vector<int> slots_;
};

// The station map of every data set: built by stnmap in `work`, renamed
// into the output folder (`prefix`), and linked back into `work` for the
// pictures.
void build_station_maps(const std::vector<MapDataSet>& sets, const MapTools& tools, const std::string& work,
                        const std::string& prefix, std::size_t parallel, TempFiles& temps) {
  std::vector<ChildJob> jobs;
  for (const MapDataSet& d : sets) jobs.push_back({{tools.stnmap, "-q", "-i", d.base + ".ctl"}, work, kTimeLimit});
  run_children(jobs, parallel, temps, [&](std::size_t i, ChildResult&& r) {
    const std::string name = sets[i].base + ".dat.map";
    const std::string built = work + "/" + name, path = prefix + name;
    struct stat sb;
    if (r.status != 0 || r.timed_out || ::stat(built.c_str(), &sb) != 0) {
      const std::vector<std::string> lines = lines_of(r.output);
      throw Error("cannot build the station map " + path + ": stnmap " +
                  (r.timed_out ? "did not finish in time" : lines.empty() ? "wrote none" : "says: " + lines.back()));
    }
    if (::rename(built.c_str(), path.c_str()) != 0) throw Error("cannot replace " + path + ": " + reason(errno));
    make_link("../" + name, built);
  });
}

}  // namespace

MapTools find_map_tools(const std::string& output_dir) {
  MapTools t{find_program("grads"), find_program("stnmap")};
  if (t.grads.empty() || t.stnmap.empty()) {
    const std::string what = t.grads.empty() && t.stnmap.empty() ? "grads and stnmap are"
                             : t.grads.empty()                   ? "grads is"
                                                                 : "stnmap is";
    throw Error("--maps needs GrADS, but " + what + " not in PATH; install it with: apt-get install grads");
  }
  const std::string maps = folder_prefix(output_dir) + "maps";
  struct stat sb;
  if (::lstat(maps.c_str(), &sb) == 0 && !S_ISDIR(sb.st_mode))
    throw Error("cannot replace " + maps + ": " + reason(ENOTDIR));
  return t;
}

void draw_maps(const Store& st, const std::string& output_dir, const MapTools& tools) {
  const std::string prefix = folder_prefix(output_dir);
  const std::string final = prefix + "maps", stage = prefix + ".maps.dx-tmp", work = prefix + ".maps-work.dx-tmp",
                    old = prefix + ".maps-old.dx-tmp";
  TempFiles temps;
  Folders folders(temps, {work, stage, old});
  // Ctrl-C and the like end the GrADS processes and remove the folders.
  const SignalCleanup cleanup(temps);
  make_folder(work);
  make_folder(stage);
  // GrADS works in `work`, which looks like the output folder: the data
  // sets by the same names, and maps/ (the folder being built).
  make_link("../" + std::string(".maps.dx-tmp"), work + "/maps");
  const std::vector<MapDataSet> sets = map_data_sets(st);
  for (const MapDataSet& d : sets) {
    make_link("../" + d.base + ".ctl", work + "/" + d.base + ".ctl");
    make_link("../" + d.base + ".dat", work + "/" + d.base + ".dat");
  }
  const std::size_t parallel = usable_cpus();

  build_station_maps(sets, tools, work, prefix, parallel, temps);

  // The pictures.
  const MapFrame frame = map_frame(st);
  std::vector<Picture> pictures;
  if (frame.stations > 0) pictures = plan_pictures(st);
  if (frame.binned) {
    write_new_file(stage + "/grid.ctl", grid_descriptor(frame));
    write_new_file(stage + "/grid.dat", std::string(frame.grid_nx * frame.grid_ny * sizeof(float), '\0'));
  }
  std::vector<ChildJob> jobs;
  for (const Picture& p : pictures) {
    write_new_file(stage + "/" + p.name + ".gs", picture_script(p, frame));
    jobs.push_back({{tools.grads, "-blcx", "run maps/" + p.name + ".gs"}, work, kTimeLimit});
  }
  Progress progress(pictures.size());
  std::size_t done = 0;
  run_children(jobs, parallel, temps, [&](std::size_t i, ChildResult&& r) {
    const std::string failure = grads_failure(r, stage + "/" + pictures[i].name + ".png");
    if (!failure.empty()) throw Error("map " + final + "/" + pictures[i].name + ".png: " + failure);
    progress.step(++done);
  });

  // The page, then maps/ swapped in whole.
  const PageHeader header{local_time_now(), absolute(output_dir), frame.stations, drawing_words(frame)};
  write_new_file(stage + "/index.html", index_page(pictures, header));
  swap_in(stage, final, old);
  const std::string failure = folders.remove();
  if (!failure.empty()) warn(failure + "; the maps are complete");
}

}  // namespace dx
