#include "support/tool_run.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netcdf.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace dxtest {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> sanitizer_env() {
  auto with = [](const char* name, const char* extra) {
    const char* old = std::getenv(name);
    std::string v = old && *old ? std::string(old) + ":" : std::string();
    return std::string(name) + "=" + v + extra;
  };
  return {with("ASAN_OPTIONS", "exitcode=86"), with("UBSAN_OPTIONS", "halt_on_error=1:exitcode=87"),
          with("LSAN_OPTIONS", "exitcode=88")};
}

Child::Child(const Launch& l) : timeout_(l.timeout), start_(now_seconds()) {
  captured_out_ = l.stdout_path.empty() && l.stdout_fd < 0;
  const std::string out_file = l.stdout_path.empty() ? capture_ / "stdout" : l.stdout_path;
  const std::string err_file = capture_ / "stderr";

  // Everything the child needs is prepared before fork.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string s(*e);
    const std::string name = s.substr(0, s.find('='));
    const bool replaced = std::any_of(l.env.begin(), l.env.end(), [&](const std::string& n) {
      return n.substr(0, n.find('=')) == name;
    });
    if (!replaced) env.push_back(s);
  }
  // A later entry for a name replaces an earlier one.
  for (std::size_t i = 0; i < l.env.size(); ++i) {
    const std::string name = l.env[i].substr(0, l.env[i].find('='));
    bool later = false;
    for (std::size_t j = i + 1; j < l.env.size(); ++j) later = later || l.env[j].substr(0, l.env[j].find('=')) == name;
    if (!later) env.push_back(l.env[i]);
  }
  std::vector<char*> envp, args;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv = l.argv;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    if (chdir(l.cwd.c_str()) != 0) _exit(126);
    int o = l.stdout_fd;
    if (o < 0) o = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0) _exit(126);
    dup2(o, 1);
    dup2(e, 2);
    signal(SIGPIPE, l.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (!l.cgroup.empty()) {
      const std::string pid = std::to_string(getpid());
      const int fd = open((l.cgroup + "/cgroup.procs").c_str(), O_WRONLY);
      if (fd < 0 || write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()) || close(fd) != 0) _exit(126);
    }
    if (l.address_space > 0) {
      const rlimit lim{l.address_space, l.address_space};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(126);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid_, pid_);  // also from here, so that the group exists at once
}

Child::~Child() {
  if (!reaped_) {
    kill(-pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
  }
}

pid_t Child::find(const std::string& comm) const {
  DIR* d = opendir("/proc");
  if (!d) return 0;
  pid_t found = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    // pid (comm) state ppid pgrp ...
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (line.substr(open + 1, close - open - 1) != comm) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    long ppid = 0, pgrp = 0;
    rest >> state >> ppid >> pgrp;
    if (pgrp == pid_ && state != 'Z') {
      found = static_cast<pid_t>(std::atol(e->d_name));
      break;
    }
  }
  closedir(d);
  return found;
}

void Child::reap(int st) {
  reaped_ = true;
  wstatus_ = st;
  // Whatever the child left running in its group goes too.
  kill(-pid_, SIGKILL);
}

bool Child::done() {
  if (reaped_) return true;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) == pid_) reap(st);
  return reaped_;
}

Outcome Child::wait() {
  while (!done()) {
    if (now_seconds() - start_ > timeout_) {
      timed_out_ = true;
      kill(-pid_, SIGKILL);
      int st = 0;
      waitpid(pid_, &st, 0);
      reap(st);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Outcome o;
  o.seconds = now_seconds() - start_;
  o.timed_out = timed_out_;
  if (WIFEXITED(wstatus_)) {
    o.status = WEXITSTATUS(wstatus_);
  } else {
    o.signal = WTERMSIG(wstatus_);
    o.status = 128 + o.signal;
  }
  auto slurp = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  if (captured_out_) o.out = slurp(capture_ / "stdout");
  o.err = slurp(capture_ / "stderr");
  return o;
}

Outcome run(const Launch& l) {
  Child c(l);
  return c.wait();
}

MemoryCgroup::MemoryCgroup(std::uint64_t limit) {
  if (geteuid() != 0) {
    reason_ = "making a memory control group needs root";
    return;
  }
  std::ifstream in("/proc/self/cgroup");
  std::string line, v1_path, v2_path;
  bool v2_line = false;
  while (std::getline(in, line)) {
    const auto a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    const std::string path = line.substr(b + 1);
    if (controllers.empty()) {
      v2_line = true;
      v2_path = path;
    }
    std::istringstream cs(controllers);
    std::string c;
    while (std::getline(cs, c, ','))
      if (c == "memory") v1_path = path;
  }
  std::string parent;
  if (!v1_path.empty() && std::filesystem::exists("/sys/fs/cgroup/memory/cgroup.procs")) {
    parent = "/sys/fs/cgroup/memory" + (v1_path == "/" ? std::string() : v1_path);
  } else if (v2_line && std::filesystem::exists("/sys/fs/cgroup/cgroup.controllers")) {
    parent = "/sys/fs/cgroup" + (v2_path == "/" ? std::string() : v2_path);
    v2_ = true;
  } else {
    reason_ = "no memory control group hierarchy found";
    return;
  }
  std::string dir = parent + "/dx-test-" + std::to_string(getpid());
  if (mkdir(dir.c_str(), 0755) != 0) {
    reason_ = "cannot make " + dir + ": " + std::strerror(errno);
    return;
  }
  const std::string file = dir + (v2_ ? "/memory.max" : "/memory.limit_in_bytes");
  std::ofstream lim(file);
  lim << limit;
  lim.close();
  if (!lim.good() || !std::filesystem::exists(file)) {
    reason_ = "cannot set a memory limit in " + dir;
    rmdir(dir.c_str());
    return;
  }
  // Best effort: the swap limit exists only where swap is accounted.
  if (!v2_) {
    std::ofstream swap(dir + "/memory.memsw.limit_in_bytes");
    swap << limit;  // where swap is accounted, no swap beyond the limit either
  } else {
    std::ofstream swap(dir + "/memory.swap.max");
    swap << 0;
  }
  dir_ = dir;
}

MemoryCgroup::~MemoryCgroup() {
  if (dir_.empty()) return;
  // The group can go once its processes have (they may take a moment).
  for (int i = 0; i < 200 && rmdir(dir_.c_str()) != 0 && errno == EBUSY; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool MemoryCgroup::oom_killed() const {
  std::ifstream in(dir_ + (v2_ ? "/memory.events" : "/memory.oom_control"));
  std::string key;
  std::uint64_t n = 0;
  while (in >> key >> n)
    if ((v2_ && key == "oom_kill") || (!v2_ && key == "oom_kill")) return n > 0;
  return false;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : list_dir(dir))
    if (std::filesystem::is_regular_file(dir + "/" + name)) files[name] = read_file(dir + "/" + name);
  return files;
}

namespace {

const char* const kTableNames[11] = {"Num_Dr_Mon", "Fre_all",   "Mag_all",           "Sensl",
                                     "Prob_Sensl", "Spell_Ave", "Spell_Max",         "Time_Interval_Ave",
                                     "Time_Interval_Max", "Corre_IDX", "Prob_Corre_IDX"};
const char* const kSetNames[11] = {"Num_Dr_Mon",   "Sensl",   "Prob",    "Spell_Ave", "Spell_Max", "Time_Arr_Ave",
                                   "Time_Arr_Max", "Fre_all", "Mag_all", "Corre",     "Prob1"};
const char* const kPeriodIdx[6] = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};
const char* const kClassSuffix[3] = {"mod", "sev", "ext"};
const char* const kPairs[12] = {"pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
                                "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
                                "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

std::string two_digits(int p) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", p);
  return b;
}

// A whole variable read back as floats, as the library converts it
// (values beyond the float range included).  Station index fastest.
struct In {
  std::vector<float> v;
  std::size_t nstn = 0, ncol = 1;
  bool ok = false;
  float at(std::size_t s, std::size_t k) const { return v[k * nstn + s]; }
};

In read_in(const std::string& path, const std::string& var) {
  In r;
  int nc = -1, id = -1, nd = 0;
  if (nc_open(path.c_str(), NC_NOWRITE, &nc) != NC_NOERR) {
    ADD_FAILURE() << "cannot open " << path;
    return r;
  }
  int st = nc_inq_varid(nc, var.c_str(), &id);
  if (st == NC_NOERR) st = nc_inq_varndims(nc, id, &nd);
  std::vector<int> dims(static_cast<std::size_t>(std::max(nd, 1)));
  if (st == NC_NOERR) st = nc_inq_vardimid(nc, id, dims.data());
  std::vector<std::size_t> lens;
  for (int i = 0; st == NC_NOERR && i < nd; ++i) {
    std::size_t len = 0;
    st = nc_inq_dimlen(nc, dims[static_cast<std::size_t>(i)], &len);
    lens.push_back(len);
  }
  if (st == NC_NOERR && (nd == 1 || nd == 2)) {
    r.nstn = lens.back();
    r.ncol = nd == 2 ? lens[0] : 1;
    r.v.resize(r.nstn * r.ncol);
    float none = 0;
    st = nc_get_var_float(nc, id, r.v.empty() ? &none : r.v.data());
    if (st == NC_ERANGE) st = NC_NOERR;
    r.ok = st == NC_NOERR;
  }
  if (nc_close(nc) != NC_NOERR) r.ok = false;
  if (!r.ok) ADD_FAILURE() << path << ": cannot read back variable " << var;
  return r;
}

std::string le32(std::uint32_t u) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return s;
}
std::string le_f(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return le32(u);
}

}  // namespace

std::string f_field(float x, int w) {
  std::string s;
  if (std::isnan(x)) s = "NaN";
  else if (std::isinf(x)) s = x > 0 ? (w >= 8 ? "Infinity" : "Inf") : (w >= 9 ? "-Infinity" : "-Inf");
  else {
    char b[80];
    std::snprintf(b, sizeof b, "%.3f", static_cast<double>(x));
    s = b;
  }
  if (static_cast<int>(s.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

std::string reg_field(float x) {
  if (std::isnan(x)) return "****";
  const double t = std::trunc(static_cast<double>(x));
  if (t < -999 || t > 9999) return "****";
  char b[16];
  std::snprintf(b, sizeof b, "%4d", static_cast<int>(t));
  return b;
}

std::vector<std::string> output_names() {
  std::vector<std::string> names = output_order();
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> output_order() {
  std::vector<std::string> names;
  for (const char* t : kTableNames) names.push_back(std::string(t) + ".txt");
  std::vector<std::string> sets(std::begin(kSetNames), std::end(kSetNames));
  for (int p = 1; p <= 12; ++p) {
    sets.push_back("Fre_" + two_digits(p));
    sets.push_back("Mag_" + two_digits(p));
  }
  for (const std::string& s : sets) {
    names.push_back(s + ".dat");
    names.push_back(s + ".ctl");
  }
  return names;
}

bool check_outputs(const std::string& dir, const std::string& station, std::uint64_t pick) {
  const auto parts = [] {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    return t ? t->result()->total_part_count() : 0;
  };
  const int parts_before = parts();
  const auto path = [&](const std::string& f) { return dir + "/" + f; };

  // The files: the inputs and exactly the outputs.
  std::vector<std::string> outs;
  for (const std::string& n : list_dir(dir))
    if (!n.ends_with(".nc")) outs.push_back(n);
  EXPECT_EQ(outs, output_names());

  const In drm = read_in(path("Num_Drou_Mon_Stn.nc"), "N_Drou_mon");
  const In sensl = read_in(path("Sen_Prob_idx_Stn.nc"), "SenSL");
  const In prob = read_in(path("Sen_Prob_idx_Stn.nc"), "Prob");
  std::map<std::string, In> cls;
  for (const char* v : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max"})
    cls[v] = read_in(path("Spell_Time_Arr_Stn.nc"), v);
  for (const char* v : {"Freq", "Mag"}) cls[v] = read_in(path("Fre_Mag_Stn_all_period.nc"), v);
  std::vector<In> tq, ptq, fre, mag;
  for (const char* p : kPairs) {
    tq.push_back(read_in(path("Tq_pdsi_spi_Stn.nc"), p));
    ptq.push_back(read_in(path("Prob_Tq_pdsi_spi_Stn.nc"), p));
  }
  for (int k = 0; k < 18; ++k) {
    const std::string suffix = std::string(kPeriodIdx[k % 6]) + "_" + kClassSuffix[k / 6];
    fre.push_back(read_in(path("Fre_Mag_Stn.nc"), "Fre_" + suffix));
    mag.push_back(read_in(path("Fre_Mag_Stn.nc"), "Mag_" + suffix));
  }
  const In lon = read_in(station, "lon"), lat = read_in(station, "lat"), reg = read_in(station, "reg");
  if (parts() != parts_before) return false;
  const std::size_t S = drm.nstn;

  using Value = std::function<float(std::size_t s, std::size_t k)>;
  struct Source {
    std::size_t ncol;
    Value value;
  };
  const auto of = [](const In& in) { return [&in](std::size_t s, std::size_t k) { return in.at(s, k); }; };
  const auto pairs = [](const std::vector<In>& v) {
    return [&v](std::size_t s, std::size_t k) { return v[k].at(s, 0); };
  };

  // GrADS data sets: every report of every time group.
  std::vector<std::pair<std::string, Source>> sets = {
      {"Num_Dr_Mon", {drm.ncol, of(drm)}},       {"Sensl", {prob.ncol, of(sensl)}},
      {"Prob", {prob.ncol, of(prob)}},           {"Spell_Ave", {18, of(cls["Spell_Ave"])}},
      {"Spell_Max", {18, of(cls["Spell_Max"])}}, {"Time_Arr_Ave", {18, of(cls["Time_Arr_Ave"])}},
      {"Time_Arr_Max", {18, of(cls["Time_Arr_Max"])}}, {"Fre_all", {18, of(cls["Freq"])}},
      {"Mag_all", {18, of(cls["Mag"])}},         {"Corre", {12, pairs(tq)}},
      {"Prob1", {12, pairs(ptq)}}};
  for (std::size_t p = 0; p < 12; ++p) {
    sets.push_back({"Fre_" + two_digits(static_cast<int>(p + 1)),
                    {18, [&fre, p](std::size_t s, std::size_t k) { return fre[k].at(s, p); }}});
    sets.push_back({"Mag_" + two_digits(static_cast<int>(p + 1)),
                    {18, [&mag, p](std::size_t s, std::size_t k) { return mag[k].at(s, p); }}});
  }
  const std::string id = S > 0 ? std::string("Station_") : std::string(8, '\0');
  std::string group;  // one time group without values
  for (std::size_t s = 0; s < S; ++s)
    group += id + le_f(lat.at(s, 0)) + le_f(lon.at(s, 0)) + le_f(0.0f) + le32(1) + le32(1) + le32(0);
  group += id + le_f(S ? lat.at(S - 1, 0) : 0.0f) + le_f(S ? lon.at(S - 1, 0) : 0.0f) + le_f(0.0f) + le32(0) + le32(1);
  for (const auto& [base, src] : sets) {
    SCOPED_TRACE(base + ".dat");
    const std::string dat = read_file(path(base + ".dat"));
    if (dat.size() != src.ncol * (32 * S + 28)) {
      ADD_FAILURE() << "size " << dat.size() << ", expected T x (32 S + 28) with T = " << src.ncol << ", S = " << S;
      continue;
    }
    for (std::size_t k = 0; k < src.ncol; ++k) {
      std::string expected = group;
      for (std::size_t s = 0; s < S; ++s) expected.replace(32 * s + 28, 4, le_f(src.value(s, k)));
      if (dat.compare(k * expected.size(), expected.size(), expected) != 0) {
        ADD_FAILURE() << "time group " << k + 1 << " differs from the input";
        break;
      }
    }
    const std::string ctl = read_file(path(base + ".ctl"));
    EXPECT_TRUE(ctl.starts_with("dset  ^" + base + ".dat\n")) << ctl;
    char tdef[64];
    if (src.ncol < 1000) std::snprintf(tdef, sizeof tdef, "\ntdef  %3zu linear jan1980 1mo\n", src.ncol);
    else std::snprintf(tdef, sizeof tdef, "\ntdef  *** linear jan1980 1mo\n");
    EXPECT_NE(ctl.find(tdef), std::string::npos) << ctl;
    EXPECT_EQ(std::count(ctl.begin(), ctl.end(), '\n'), 9);
  }

  // Text tables: sizes, line lengths, and the lines of a few stations.
  const std::vector<std::pair<std::string, Source>> tables = {
      {"Num_Dr_Mon", {18, of(drm)}},     {"Fre_all", {18, of(cls["Freq"])}},
      {"Mag_all", {18, of(cls["Mag"])}}, {"Sensl", {6, of(sensl)}},
      {"Prob_Sensl", {6, of(prob)}},     {"Spell_Ave", {18, of(cls["Spell_Ave"])}},
      {"Spell_Max", {18, of(cls["Spell_Max"])}}, {"Time_Interval_Ave", {18, of(cls["Time_Arr_Ave"])}},
      {"Time_Interval_Max", {18, of(cls["Time_Arr_Max"])}}, {"Corre_IDX", {12, pairs(tq)}},
      {"Prob_Corre_IDX", {12, pairs(ptq)}}};
  std::set<std::size_t> stations;
  if (S > 0) stations = {0, S - 1, static_cast<std::size_t>(pick % S)};
  for (const auto& [base, src] : tables) {
    SCOPED_TRACE(base + ".txt");
    const std::string txt = read_file(path(base + ".txt"));
    const std::size_t width = 20 + 12 * src.ncol;
    if (txt.size() != 101 + (width + 1) * (S + 1)) {
      ADD_FAILURE() << "size " << txt.size() << ", expected " << 101 + (width + 1) * (S + 1);
      continue;
    }
    EXPECT_EQ(txt[100], '\n');
    EXPECT_EQ(txt.compare(101, 20, "Reg    Lon     Lat  "), 0);
    for (std::size_t line = 0; line <= S; ++line)
      if (txt[101 + (width + 1) * line + width] != '\n') {
        ADD_FAILURE() << "line " << line + 2 << " is not " << width << " characters long";
        break;
      }
    for (std::size_t s : stations) {
      std::string expected = reg_field(reg.at(s, 0)) + f_field(lon.at(s, 0), 8) + f_field(lat.at(s, 0), 8);
      for (std::size_t k = 0; k < src.ncol; ++k) expected += f_field(src.value(s, k), 12);
      EXPECT_EQ(txt.substr(101 + (width + 1) * (s + 1), width), expected) << "station " << s + 1;
    }
  }
  return parts() == parts_before;
}

}  // namespace dxtest
