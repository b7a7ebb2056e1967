// Crash consistency of the outputs: the run is ended by a signal at random
// moments, many times, in a folder holding the outputs of an earlier run:
// SIGKILL, which no program can catch, and in turn SIGINT (Ctrl-C), SIGTERM
// and SIGHUP.  After every kill each output must be either the complete old
// file or the complete new one, never a mixture or a truncation.  SIGKILL
// may leave at most two temporary files (the tool finishes one output on a
// second thread while it writes the next); the other signals none, and the
// run ends by the signal itself.  The new files replace the old ones in the
// run's order of outputs.  A run that then ends normally leaves none.
//
// DX_KILLS sets the number of kills (CI: 30).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "run/sample_files.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace {

using dxtest::TempDir;

dxtest::Launch tool_launch(const std::string& dir) {
  dxtest::Launch l = dxtest::tool_launch(dir);
  l.stdout_path = "/dev/null";
  l.timeout = 300;
  return l;
}

// Size and a 64-bit hash of a file's content.
struct Digest {
  std::uint64_t size = 0, hash = 0;
  bool operator==(const Digest&) const = default;
};
Digest digest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Digest d;
  std::vector<char> buf(1 << 20);
  std::uint64_t h = 0x243F6A8885A308D3ull;
  while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    const std::size_t n = static_cast<std::size_t>(in.gcount());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, buf.data() + i, 8);
      h = (h ^ w) * 0x100000001B3ull;
      h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ static_cast<unsigned char>(buf[i])) * 0x100000001B3ull;
    d.size += n;
  }
  d.hash = h ^ d.size;
  return d;
}

std::map<std::string, Digest> digests(const std::string& dir) {
  std::map<std::string, Digest> m;
  for (const std::string& name : dxtest::output_names()) m[name] = digest(dir + "/" + name);
  return m;
}

TEST(CrashConsistency, EveryKillLeavesOldOrNewFilesInOrderAndAtMostTwoTemporaries) {
  constexpr int kSignals[] = {SIGKILL, SIGINT, SIGKILL, SIGTERM, SIGKILL, SIGHUP};
  const char* env = std::getenv("DX_KILLS");
  const int kills = env && *env ? std::atoi(env) : 30;
  // Large enough that a kill lands amid the outputs about one time in three.
#if defined(__SANITIZE_ADDRESS__)
  constexpr int kOldStations = 1000, kNewStations = 1300;
#else
  constexpr int kOldStations = 2000, kNewStations = 2500;
#endif

  // The old outputs, kept aside (hard links: the tool never writes into an
  // existing file, it replaces it).
  TempDir work;
  const std::string old_dir = work / "old";
  const std::string dir = work / "run";
  ASSERT_EQ(mkdir(old_dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  dxtest::sample::generate(dir, kOldStations, 1);
  dxtest::Outcome r = dxtest::run(tool_launch(dir));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& name : dxtest::output_names())
    ASSERT_EQ(link((dir + "/" + name).c_str(), (old_dir + "/" + name).c_str()), 0) << name;
  const std::map<std::string, Digest> old_files = digests(old_dir);

  // The new outputs, from a complete run on the new inputs elsewhere.
  dxtest::sample::generate(dir, kNewStations, 2);
  TempDir ref;
  dxtest::sample::generate(ref.path(), kNewStations, 2);
  double full_run = 0;  // from the start of drought-export itself to its end
  {
    dxtest::Child child(tool_launch(ref.path()));
    while (!child.done() && child.find("drought-export") == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double t0 = dxtest::now_seconds();
    r = child.wait();
    full_run = dxtest::now_seconds() - t0;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  const std::map<std::string, Digest> new_files = digests(ref.path());
  // Every file but the descriptors (which name the data set and count
  // its time steps only) differs between the two runs.
  int differing = 0;
  for (const auto& [name, d] : new_files) {
    if (!name.ends_with(".ctl")) {
      ASSERT_FALSE(d == old_files.at(name)) << name << " is the same in both runs";
    }
    differing += !(d == old_files.at(name));
  }

  std::mt19937_64 rng(20240611);
  int landed_loading = 0, landed_mixed = 0, landed_late = 0, finished = 0, leftovers = 0;
  for (int i = 0; i < kills; ++i) {
    // The folder holds the old outputs and nothing else of ours.
    for (const std::string& t : dxtest::temp_files_in(dir)) ASSERT_EQ(unlink((dir + "/" + t).c_str()), 0);
    for (const std::string& name : dxtest::output_names()) {
      const std::string p = dir + "/" + name;
      ASSERT_TRUE(unlink(p.c_str()) == 0 || errno == ENOENT);
      ASSERT_EQ(link((old_dir + "/" + name).c_str(), p.c_str()), 0);
    }

    dxtest::Child child(tool_launch(dir));
    pid_t tool = 0;
    while (!child.done() && (tool = child.find("drought-export")) == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double delay = std::uniform_real_distribution<double>(0.0, 0.95 * full_run)(rng);
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    const int sig = kSignals[i % std::size(kSignals)];
    if (tool != 0 && !child.done()) kill(tool, sig);
    const dxtest::Outcome o = child.wait();
    SCOPED_TRACE("kill " + std::to_string(i + 1) + " by signal " + std::to_string(sig) + " after " +
                 std::to_string(delay) + " s, status " + std::to_string(o.status));
    ASSERT_TRUE(o.status == 0 || o.status == 128 + sig) << o.err;
    if (o.status == 0) ++finished;

    int now_new = 0;
    std::string still_old;  // the first output in run order that has not been replaced
    for (const std::string& name : dxtest::output_order()) {
      if (old_files.at(name) == new_files.at(name)) continue;  // cannot tell
      const Digest d = digest(dir + "/" + name);
      if (d == old_files.at(name)) {
        if (still_old.empty()) still_old = name;
        continue;
      }
      if (d == new_files.at(name)) {
        ++now_new;
        EXPECT_TRUE(still_old.empty()) << name << " was replaced before " << still_old;
      } else {
        EXPECT_EQ(d, old_files.at(name)) << name << " is neither the old nor the new file (" << d.size << " bytes)";
      }
    }
    const std::vector<std::string> temps = dxtest::temp_files_in(dir);
    EXPECT_LE(temps.size(), o.status == 0 || sig != SIGKILL ? 0u : 2u);
    for (const std::string& t : temps) {
      const std::vector<std::string> outs = dxtest::output_names();
      EXPECT_TRUE(std::find(outs.begin(), outs.end(), t.substr(0, t.size() - 7)) != outs.end()) << t;
    }
    leftovers += static_cast<int>(temps.size());
    if (o.status != 0) {
      if (now_new == 0) ++landed_loading;
      else if (now_new < differing) ++landed_mixed;
      else ++landed_late;
    }
    if (HasFailure()) break;
  }

  // A run that ends normally after a kill leaves every new file and no
  // temporary file, also the one the kill left behind.
  dxtest::Outcome last = dxtest::run(tool_launch(dir));
  ASSERT_EQ(last.status, 0) << last.err;
  EXPECT_EQ(digests(dir), new_files);
  EXPECT_TRUE(dxtest::temp_files_in(dir).empty());

  std::printf(
      "[ kills    ] %d kills of a %.2f s run: %d during loading, %d amid the outputs, %d after the last "
      "output, %d runs ended first; %d temporary files left behind\n",
      kills, full_run, landed_loading, landed_mixed, landed_late, finished, leftovers);
}

// What a killed run leaves behind is replaced, never written through: a
// stale temporary file that has meanwhile become a second name of another
// file (a hard-linked backup of the folder, "cp -al") or a symbolic link
// must not carry the new output into that file.
TEST(CrashConsistency, AStaleTemporaryFileIsReplacedNotWrittenThrough) {
  TempDir tmp;
  dxtest::sample::generate(tmp.path(), 20, 3);
  const std::string kept = "a file that is no output of this run\n";
  dxtest::write_file(tmp / "backup_of_Sensl.txt", kept);
  dxtest::write_file(tmp / "elsewhere.dat", kept);
  ASSERT_EQ(link((tmp / "backup_of_Sensl.txt").c_str(), (tmp / "Sensl.txt.dx-tmp").c_str()), 0);
  ASSERT_EQ(symlink("elsewhere.dat", (tmp / "Fre_02.dat.dx-tmp").c_str()), 0);

  const dxtest::Outcome r = dxtest::run(tool_launch(tmp.path()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(dxtest::read_file(tmp / "backup_of_Sensl.txt") == kept) << "the hard-linked file was written";
  EXPECT_TRUE(dxtest::read_file(tmp / "elsewhere.dat") == kept) << "the file behind the symbolic link was written";
  EXPECT_TRUE(dxtest::temp_files_in(tmp.path()).empty());
  EXPECT_FALSE(std::filesystem::is_symlink(tmp / "Fre_02.dat"));
  std::filesystem::remove(tmp / "backup_of_Sensl.txt");
  std::filesystem::remove(tmp / "elsewhere.dat");
  EXPECT_TRUE(dxtest::check_outputs(tmp.path(), tmp / "SPI_Stn.nc"));
}

}  // namespace
