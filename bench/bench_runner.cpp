// Times drought-export against the I/O floor in the current folder, which
// holds a generated input set.  The two run alternately, so that both see the
// same machine state; the medians of each are printed as one table row.
//
//   dx-bench-runner --tool PATH --floor PATH --stations N [--runs R] [--header]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Sample {
  double wall = 0, user = 0, sys = 0;
  double rss_mb = 0;
};

Sample run(const std::string& path) {
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) < 0) {
    std::perror("wait4");
    std::exit(1);
  }
  const auto t1 = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "dx-bench-runner: %s failed (status %d)\n", path.c_str(), status);
    std::exit(1);
  }
  Sample s;
  s.wall = std::chrono::duration<double>(t1 - t0).count();
  s.user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6;
  s.sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6;
  s.rss_mb = ru.ru_maxrss / 1024.0;
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Bytes of the outputs in the folder: the floor's carry the prefix "floor_".
double output_mb(bool floor) {
  double bytes = 0;
  for (const auto& e : std::filesystem::directory_iterator(".")) {
    const std::string name = e.path().filename();
    const std::string ext = e.path().extension();
    if (ext != ".txt" && ext != ".dat" && ext != ".ctl") continue;
    if ((name.rfind("floor_", 0) == 0) != floor) continue;
    bytes += static_cast<double>(e.file_size());
  }
  return bytes / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tool, floor;
  long stations = -1;
  int runs = 3;
  bool header = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--header") header = true;
    else if (i + 1 < argc && a == "--tool") tool = argv[++i];
    else if (i + 1 < argc && a == "--floor") floor = argv[++i];
    else if (i + 1 < argc && a == "--stations") stations = std::atol(argv[++i]);
    else if (i + 1 < argc && a == "--runs") runs = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: dx-bench-runner --tool PATH --floor PATH --stations N [--runs R] [--header]\n");
      return 2;
    }
  }
  if (header) {
    std::printf("| stations | tool wall s | user s | sys s | peak RSS MB | written MB | MB/s | floor wall s |"
                " tool/floor | RSS/store |\n|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    return 0;
  }
  if (tool.empty() || floor.empty() || stations < 0 || runs < 1) {
    std::fprintf(stderr, "dx-bench-runner: --tool, --floor and --stations are required\n");
    return 2;
  }
  std::vector<double> tw, tu, ts, tr, fw;
  for (int r = 0; r < runs; ++r) {
    const Sample f = run(floor);
    const Sample t = run(tool);
    fw.push_back(f.wall);
    tw.push_back(t.wall);
    tu.push_back(t.user);
    ts.push_back(t.sys);
    tr.push_back(t.rss_mb);
  }
  // Bytes of the result store from the run counts: 18 + 2x6 + 6x18 + 2x12
  // statistic columns, 2 x 18 x 12 per-period values, lon/lat/reg, and the
  // 21-character station names.
  const double store_mb = static_cast<double>(stations) * (4.0 * (18 + 12 + 108 + 24 + 432 + 3) + 21) / 1e6;
  const double written = output_mb(false);
  const double wall = median(tw);
  std::printf("| %ld | %.3f | %.3f | %.3f | %.1f | %.1f | %.0f | %.3f | %.2f | %.2f |\n", stations, wall,
              median(tu), median(ts), median(tr), written, written / wall, median(fw), wall / median(fw),
              median(tr) / store_mb);
  if (std::abs(output_mb(true) - written) > 1e-6)
    std::fprintf(stderr, "dx-bench-runner: warning: the floor wrote %.6f MB, the tool %.6f MB\n", output_mb(true),
                 written);
  return 0;
}
