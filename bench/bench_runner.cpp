// Times drought-export against the I/O floor in the current folder, which
// holds a generated input set.  The two run alternately, floor, tool, floor,
// tool, ..., after one untimed run of each, so that every timed run follows a
// run of the other program: both are timed in the same machine state.  (On a
// virtual machine a program run right after its own previous run is up to a
// third faster than one run after the other program, for the tool and the
// floor alike; an order in which one of them follows itself more often than
// the other would time the two in different states.)  Each run starts after
// sync(2), so that no run pays for the write-back of what an earlier run
// wrote.  By default each run
// replaces the outputs of the program's previous run, as a user's repeated
// run does (on ext4 a file renamed over an existing one is flushed at once);
// with --first-run those outputs are removed first, as in a first run in an
// empty folder.  The medians of each are printed as one table row.  MB are
// 10^6 bytes.
//
// The row also checks the floor: it must write files of exactly the sizes
// that the tool writes, name by name; a difference fails the benchmark.
//
//   dx-bench-runner --tool PATH --floor PATH --stations N [--station-file FILE] [--runs R] [--first-run] [--verbose]
//   dx-bench-runner --header
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kFloorPrefix = "floor_";
constexpr const char* kFloorReport = "floor_report.log";

struct Sample {
  double wall = 0, user = 0, sys = 0;
  double rss_mb = 0;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "dx-bench-runner: %s\n", what.c_str());
  std::exit(1);
}

bool is_output(const fs::path& p) {
  const std::string ext = p.extension();
  return ext == ".txt" || ext == ".dat" || ext == ".ctl";
}
bool is_floor_output(const fs::path& p) { return p.filename().string().rfind(kFloorPrefix, 0) == 0; }

// Removes the outputs of the tool's (or the floor's) previous run.
void remove_outputs(bool floor) {
  std::vector<fs::path> old;
  for (const auto& e : fs::directory_iterator("."))
    if (is_output(e.path()) && is_floor_output(e.path()) == floor) old.push_back(e.path());
  for (const fs::path& p : old) fs::remove(p);
}

// Runs `path` with standard output going to `out` (a file name, or
// /dev/null) and returns its wall time, CPU times and peak resident memory.
// Runs the tool (with --station-file) or the floor (with the station file
// as its argument) on the station file `stn`.
Sample run(const std::string& path, const std::string& stn, const char* out, bool floor, bool first_run) {
  if (first_run) remove_outputs(floor);
  sync();
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    if (floor) execl(path.c_str(), path.c_str(), stn.c_str(), static_cast<char*>(nullptr));
    else execl(path.c_str(), path.c_str(), "--station-file", stn.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) < 0) fail(std::string("wait4: ") + std::strerror(errno));
  const auto t1 = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(path + " failed (status " + std::to_string(status) + ")");
  Sample s;
  s.wall = std::chrono::duration<double>(t1 - t0).count();
  s.user = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) * 1e-6;
  s.sys = static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) * 1e-6;
  s.rss_mb = static_cast<double>(ru.ru_maxrss) * 1024.0 / 1e6;  // ru_maxrss is in KiB
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Sizes of the outputs in the folder by name (the floor's without their
// prefix).
std::map<std::string, std::uintmax_t> outputs(bool floor) {
  std::map<std::string, std::uintmax_t> sizes;
  for (const auto& e : fs::directory_iterator(".")) {
    if (!is_output(e.path()) || is_floor_output(e.path()) != floor) continue;
    std::string name = e.path().filename();
    if (floor) name.erase(0, std::strlen(kFloorPrefix));
    sizes[name] = e.file_size();
  }
  return sizes;
}

// The "store_bytes N" line that the floor prints.
double store_bytes() {
  std::ifstream in(kFloorReport);
  std::string key;
  double bytes = 0;
  if (!(in >> key >> bytes) || key != "store_bytes") fail(std::string("no store size in ") + kFloorReport);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tool, floor, stn = "SPI_Stn.nc";
  long stations = -1;
  int runs = 3;
  bool header = false, verbose = false, first_run = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--header") header = true;
    else if (a == "--verbose") verbose = true;
    else if (a == "--first-run") first_run = true;
    else if (i + 1 < argc && a == "--tool") tool = argv[++i];
    else if (i + 1 < argc && a == "--floor") floor = argv[++i];
    else if (i + 1 < argc && a == "--station-file") stn = argv[++i];
    else if (i + 1 < argc && a == "--stations") stations = std::atol(argv[++i]);
    else if (i + 1 < argc && a == "--runs") runs = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr,
                   "usage: dx-bench-runner --tool PATH --floor PATH --stations N [--station-file FILE] [--runs R]\n"
                   "                       [--first-run] [--verbose] | --header\n");
      return 2;
    }
  }
  if (header) {
    std::printf(
        "| stations | tool wall s | user s | sys s | peak RSS MB | written MB | MB/s | floor wall s |"
        " floor CPU s | tool/floor | store MB | RSS/store |\n"
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    return 0;
  }
  if (tool.empty() || floor.empty() || stations < 0 || runs < 1) {
    std::fprintf(stderr, "dx-bench-runner: --tool, --floor and --stations are required\n");
    return 2;
  }
  std::vector<double> tw, tu, ts, tr, fw, fc;
  // Untimed: the outputs that the first timed runs replace, and a tool run
  // for the first timed floor run to follow.
  run(floor, stn, kFloorReport, true, first_run);
  run(tool, stn, "/dev/null", false, first_run);
  for (int r = 0; r < runs; ++r) {
    const Sample f = run(floor, stn, kFloorReport, true, first_run);
    const Sample t = run(tool, stn, "/dev/null", false, first_run);
    fw.push_back(f.wall);
    fc.push_back(f.user + f.sys);
    tw.push_back(t.wall);
    tu.push_back(t.user);
    ts.push_back(t.sys);
    tr.push_back(t.rss_mb);
    if (verbose)
      std::fprintf(stderr, "  run %d: floor %.3f s (user %.3f, sys %.3f), tool %.3f s (user %.3f, sys %.3f)\n", r + 1,
                   f.wall, f.user, f.sys, t.wall, t.user, t.sys);
  }

  const auto tool_files = outputs(false), floor_files = outputs(true);
  if (tool_files != floor_files) {
    for (const auto& [name, size] : tool_files) {
      const auto it = floor_files.find(name);
      if (it == floor_files.end())
        std::fprintf(stderr, "  %s: %ju bytes, not written by the floor\n", name.c_str(), size);
      else if (it->second != size)
        std::fprintf(stderr, "  %s: %ju bytes, the floor wrote %ju\n", name.c_str(), size, it->second);
    }
    for (const auto& [name, size] : floor_files)
      if (!tool_files.count(name)) std::fprintf(stderr, "  %s: written by the floor only\n", name.c_str());
    fail("the I/O floor does not write what the tool writes");
  }
  double written = 0;
  for (const auto& [name, size] : tool_files) written += static_cast<double>(size);
  written /= 1e6;

  const double store_mb = store_bytes() / 1e6;
  const double wall = median(tw);
  std::printf("| %ld | %.3f | %.3f | %.3f | %.1f | %.1f | %.0f | %.3f | %.3f | %.2f | %.1f | %.2f |\n", stations, wall,
              median(tu), median(ts), median(tr), written, written / wall, median(fw), median(fc), wall / median(fw),
              store_mb, store_mb > 0 ? median(tr) / store_mb : 0.0);
  return 0;
}
