// A disk that fills up at different points of the run (a small tmpfs, root
// only): from the first output to the last.  Each failing run must end with
// the one error line naming the output and the system's reason, status 1,
// no temporary file, and every output of the previous run still there,
// complete: the old file, or the new one where the run got that far.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "run/sample_files.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace {

using dxtest::run_tool;
using dxtest::TempDir;

std::map<std::string, std::string> outputs(const std::string& dir) {
  std::map<std::string, std::string> m;
  for (const std::string& n : dxtest::output_names())
    if (dxtest::file_exists(dir + "/" + n)) m[n] = dxtest::read_file(dir + "/" + n);
  return m;
}

TEST(DiskFull, AFullDiskAtAnyPointKeepsEveryCompleteFile) {
  constexpr int kOldStations = 150, kNewStations = 400;
  // The outputs of the new inputs, from a run with room enough.
  TempDir ref;
  dxtest::sample::generate(ref.path(), kNewStations, 2);
  dxtest::Outcome r = run_tool(ref.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::map<std::string, std::string> fresh = outputs(ref.path());

  dxtest::SmallTmpfs disk(64 << 20);
  if (!disk.ok()) GTEST_SKIP() << "full-disk test skipped: " << disk.reason();
  // Room left for this share of what the new outputs need beyond the old
  // ones: the disk fills at the first output, somewhere in the text
  // tables, the data sets or the per-period loop, or not at all.
  const double shares[] = {0.0, 0.03, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 1.2};
  std::size_t growth = 0;
  std::map<std::string, int> failed_at;
  for (const double share : shares) {
    SCOPED_TRACE("room for " + std::to_string(share) + " of the growth");
    for (const std::string& n : dxtest::list_dir(disk.path())) std::filesystem::remove_all(disk / n);
    dxtest::sample::generate(disk.path(), kOldStations, 1);
    r = run_tool(disk.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::map<std::string, std::string> old = outputs(disk.path());
    ASSERT_EQ(old.size(), fresh.size());
    if (growth == 0) {
      for (const auto& [n, c] : old) growth += fresh.at(n).size() - c.size();
    }
    dxtest::sample::generate(disk.path(), kNewStations, 2);

    struct statvfs fs {};
    ASSERT_EQ(statvfs(disk.path().c_str(), &fs), 0);
    const off_t free_bytes = static_cast<off_t>(fs.f_bavail) * static_cast<off_t>(fs.f_bsize);
    const off_t room = static_cast<off_t>(share * static_cast<double>(growth));
    if (room < free_bytes) {
      const int fd = open((disk / "filler").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(posix_fallocate(fd, 0, free_bytes - room), 0);
      ASSERT_EQ(close(fd), 0);
    }

    r = run_tool(disk.path());
    const std::map<std::string, std::string> now = outputs(disk.path());
    EXPECT_TRUE(dxtest::temp_files_in(disk.path()).empty());
    ASSERT_EQ(now.size(), fresh.size()) << "an output was lost";
    int replaced = 0;
    for (const auto& [name, content] : now) {
      if (content == fresh.at(name) && content != old.at(name)) ++replaced;
      else EXPECT_EQ(content, old.at(name)) << name << " is neither the old nor the new file";
    }
    if (r.status == 0) {
      EXPECT_EQ(now, fresh);
      failed_at["(none)"]++;
      continue;
    }
    EXPECT_EQ(r.status, 1);
    const std::string prefix = "drought-export: error: cannot write ";
    const std::string reason = std::string(": ") + std::strerror(ENOSPC) + "\n";
    ASSERT_TRUE(r.err.starts_with(prefix) && r.err.ends_with(reason)) << r.err;
    std::string failed = r.err.substr(prefix.size(), r.err.size() - prefix.size() - reason.size());
    if (failed.starts_with("./")) failed.erase(0, 2);
    ASSERT_TRUE(fresh.contains(failed)) << failed;
    EXPECT_EQ(now.at(failed), old.at(failed)) << "the output being written when the disk filled";
    failed_at[failed]++;
    std::printf("[ disk     ] room for %.2f of the growth: failed at %s after replacing %d files\n", share,
                failed.c_str(), replaced);
  }
  EXPECT_GE(failed_at.size(), 5u) << "the disk did not fill at enough different points";
}

// A file system with room for the inputs, the outputs and one file more,
// but no more inodes: every rerun fits too, although the files it replaces
// are let go only after their renames (their inodes are freed then).
TEST(DiskFull, AFileSystemShortOfInodesTakesEveryRerun) {
  TempDir probe;
  dxtest::sample::generate(probe.path(), 30, 4);
  const std::size_t inputs = dxtest::list_dir(probe.path()).size();
  dxtest::SmallTmpfs disk(8 << 20, 1 + inputs + dxtest::output_names().size() + 1);
  if (!disk.ok()) GTEST_SKIP() << "inode test skipped: " << disk.reason();
  dxtest::sample::generate(disk.path(), 30, 4);
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const dxtest::Outcome r = run_tool(disk.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(dxtest::temp_files_in(disk.path()).empty());
  }
  EXPECT_TRUE(dxtest::check_outputs(disk.path(), disk / "SPI_Stn.nc"));
}

}  // namespace
