#include "maps/maps.hpp"

#include <dirent.h>
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
#include <sstream>
#include <system_error>
#include <vector>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/text.hpp"
#include "maps/child.hpp"
#include "maps/page.hpp"
#include "maps/pictures.hpp"
#include "output/atomic_file.hpp"
#include "output/file_ops.hpp"
#include "output/grads.hpp"
#include "output/temp_files.hpp"

namespace dx {
namespace {

// Seconds a GrADS process may take before it is ended.
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

// A descriptor that is closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) static_cast<void>(::close(fd_));  // read-only folder: nothing to report
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Removes `name` in the folder `dir` with everything in it; 0 or the
// error number.  Nothing there is no error.
int remove_tree(int dir, const std::string& name) {
  if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  {
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
      const int err = errno;
      static_cast<void>(::close(fd));
      return err;
    }
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) entries.emplace_back(e->d_name);
    int err = 0;
    for (const std::string& e : entries)
      if (err == 0) err = remove_tree(::dirfd(d), e);
    static_cast<void>(::closedir(d));  // read-only: nothing to report
    if (err != 0) return err;
  }
  return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

// The maps step's names in the output folder.  Every file and folder of
// the step is reached through the descriptor of the output folder, so a
// folder renamed while GrADS draws takes the maps with it.
struct StepFolder {
  int dir;             // the output folder
  std::string prefix;  // how messages show it: "" or "out/"
  std::string shown(const std::string& name) const { return prefix + name; }
};

void make_folder(const StepFolder& f, const std::string& name) {
  if (::mkdirat(f.dir, name.c_str(), 0777) != 0) throw Error("cannot create " + f.shown(name) + ": " + reason(errno));
}

void make_link(const StepFolder& f, const std::string& target, const std::string& name) {
  if (::symlinkat(target.c_str(), f.dir, name.c_str()) != 0)
    throw Error("cannot create " + f.shown(name) + ": " + reason(errno));
}

void write_new_file(const StepFolder& f, const std::string& name, const std::string& bytes) {
  const FileOps& ops = system_file_ops();
  const std::string path = f.shown(name);
  const int fd = ops.open(f.dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
std::string grads_failure(const ChildResult& r, const StepFolder& f, const std::string& png) {
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
  if (::fstatat(f.dir, png.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0 || sb.st_size == 0) return "GrADS wrote no picture";
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

// The output folder's absolute path as it is now (it may have been
// renamed since the run began); the path given, made absolute, where the
// system cannot tell.
std::string absolute(const StepFolder& f, const std::string& dir) {
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(f.dir);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof buf && buf[0] == '/') return std::string(buf, static_cast<std::size_t>(n));
  return ::realpath(dir.empty() ? "." : dir.c_str(), buf) != nullptr ? std::string(buf) : dir;
}

// The new folder `fresh` takes the place of `final`, whose old content, if
// any, ends up in `fresh` (or `old`) for removal.  One atomic exchange where
// the file system offers it; else two renames.
void swap_in(const StepFolder& f, const std::string& fresh, const std::string& final, const std::string& old) {
  const auto failed = [&](int err) { return Error("cannot replace " + f.shown(final) + ": " + reason(err)); };
  struct stat sb;
  if (::fstatat(f.dir, final.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) throw failed(errno);
    if (::renameat(f.dir, fresh.c_str(), f.dir, final.c_str()) != 0) throw failed(errno);
    return;
  }
  if (::renameat2(f.dir, fresh.c_str(), f.dir, final.c_str(), RENAME_EXCHANGE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throw failed(errno);
  if (::renameat(f.dir, final.c_str(), f.dir, old.c_str()) != 0) throw failed(errno);
  if (::renameat(f.dir, fresh.c_str(), f.dir, final.c_str()) != 0) {
    const int err = errno;
    static_cast<void>(::renameat(f.dir, old.c_str(), f.dir, final.c_str()));  // the old one back; the error says what failed
    throw failed(err);
  }
}

// The step's folders in the output folder, removed however the step ends
// (a folder left by a killed run first).
class Folders {
 public:
  Folders(TempFiles& temps, const StepFolder& f, std::vector<std::string> names)
      : temps_(temps), f_(f), names_(std::move(names)) {
    for (const std::string& n : names_) {
      if (const int err = remove_tree(f_.dir, n); err != 0)
        throw Error("cannot remove " + f_.shown(n) + " (left by an earlier run): " + reason(err));
      slots_.push_back(temps_.add_folder(f_.dir, n));
    }
  }
  // Removes them now; returns the message of the first that cannot be
  // removed, or "".
  std::string remove() noexcept {
    std::string failure;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      const int err = remove_tree(f_.dir, names_[i]);
      if (err != 0 && failure.empty()) failure = "cannot remove " + f_.shown(names_[i]) + ": " + reason(err);
      temps_.remove(slots_[i]);
    }
    names_.clear();
    return failure;
  }
  ~Folders() { static_cast<void>(remove()); }  // after a failure: the failure is the one reported

 private:
  TempFiles& temps_;
  const StepFolder& f_;
  std::vector<std::string> names_;
  std::vector<int> slots_;
};

// The station map of every data set, written into the output folder as
// every output is (a temporary file renamed into place), and linked into
// the work folder `work` for the pictures.  The data file on disk must be
// the one this run wrote: the map describes where its reports are.
void write_station_maps(const std::vector<MapDataSet>& sets, std::size_t nstn, const StepFolder& f,
                        const std::string& work, TempFiles& temps) {
  for (const MapDataSet& d : sets) {
    const std::string name = d.base + ".dat.map", path = f.shown(name), dat = d.base + ".dat";
    const std::string map = grads_station_map(nstn, d.steps, path);
    const std::uint64_t written = grads_data_size(nstn, d.steps);
    struct stat sb;
    if (::fstatat(f.dir, dat.c_str(), &sb, 0) != 0)
      throw Error("cannot build the station map " + path + ": " + f.shown(dat) + ": " + reason(errno));
    if (static_cast<std::uint64_t>(sb.st_size) != written)
      throw Error("cannot build the station map " + path + ": " + f.shown(dat) + " is no longer the data set " +
                  "this run wrote (" + std::to_string(sb.st_size) + " bytes, not " + std::to_string(written) + ")");
    AtomicFile out(system_file_ops(), f.dir, path, temps);
    out.write(map.data(), map.size());
    out.commit();
    make_link(f, "../" + name, work + "/" + name);
  }
}

}  // namespace

MapTools find_map_tools(const std::string& output_dir) {
  const MapTools t{find_program("grads")};
  const bool stnmap = !find_program("stnmap").empty();
  if (t.grads.empty() || !stnmap) {
    const std::string what = t.grads.empty() && !stnmap ? "grads and stnmap are"
                             : t.grads.empty()          ? "grads is"
                                                        : "stnmap is";
    throw Error("--maps needs GrADS, but " + what + " not in PATH; install it with: apt-get install grads");
  }
  const std::string maps = folder_prefix(output_dir) + "maps";
  struct stat sb;
  if (::lstat(maps.c_str(), &sb) == 0 && !S_ISDIR(sb.st_mode))
    throw Error("cannot replace " + maps + ": " + reason(ENOTDIR));
  return t;
}

void draw_maps(const Store& st, int folder, const std::string& output_dir, const MapTools& tools, MapStyle style) {
  const StepFolder f{folder, folder_prefix(output_dir)};
  const std::string final = "maps", stage = ".maps.dx-tmp", work = ".maps-work.dx-tmp", old = ".maps-old.dx-tmp";
  TempFiles temps;
  Folders folders(temps, f, {work, stage, old});
  // Ctrl-C and the like end the GrADS processes and remove the folders.
  const SignalCleanup cleanup(temps);
  make_folder(f, work);
  make_folder(f, stage);
  // GrADS works in `work`, which looks like the output folder: the data
  // sets by the same names, and maps/ (the folder being built).
  make_link(f, "../" + stage, work + "/maps");
  const std::vector<MapDataSet> sets = map_data_sets(st);
  for (const MapDataSet& d : sets) {
    make_link(f, "../" + d.base + ".ctl", work + "/" + d.base + ".ctl");
    make_link(f, "../" + d.base + ".dat", work + "/" + d.base + ".dat");
  }
  write_station_maps(sets, static_cast<std::size_t>(std::max(st.NSTN, 0)), f, work, temps);

  // The pictures, drawn by GrADS in the work folder, as many at once as
  // the run may use processors.
  const Descriptor work_fd(::openat(folder, work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (work_fd.get() < 0) throw Error("cannot open " + f.shown(work) + ": " + reason(errno));
  const MapFrame frame = map_frame(st, style);
  std::vector<Picture> pictures;
  if (frame.stations > 0) pictures = plan_pictures(st);
  if (frame.gridded()) {
    write_new_file(f, stage + "/grid.ctl", grid_descriptor(frame));
    write_new_file(f, stage + "/grid.dat", std::string(frame.grid_nx * frame.grid_ny * sizeof(float), '\0'));
  }
  std::vector<ChildJob> jobs;
  for (const Picture& p : pictures) {
    write_new_file(f, stage + "/" + p.name + ".gs", picture_script(p, frame));
    jobs.push_back({{tools.grads, "-blcx", "run maps/" + p.name + ".gs"}, work_fd.get(), kTimeLimit});
  }
  Progress progress(pictures.size());
  std::size_t done = 0;
  run_children(jobs, usable_cpus(), temps, [&](std::size_t i, ChildResult&& r) {
    const std::string failure = grads_failure(r, f, stage + "/" + pictures[i].name + ".png");
    if (!failure.empty()) throw Error("map " + f.shown(final) + "/" + pictures[i].name + ".png: " + failure);
    progress.step(++done);
  });

  // The page, then maps/ swapped in whole.
  const PageHeader header{local_time_now(), absolute(f, output_dir), frame.stations, drawing_words(frame)};
  write_new_file(f, stage + "/index.html", index_page(pictures, header));
  swap_in(f, stage, final, old);
  const std::string failure = folders.remove();
  if (!failure.empty()) warn(failure + "; the maps are complete");
}

}  // namespace dx
