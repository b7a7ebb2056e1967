// End-to-end output failures: the real binary on generated inputs, with an
// output that cannot be written.  The run must end with one error line that
// names the file and the system's reason, exit status 1, and leave the
// previous file of that name as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

#include "run/sample_files.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace {

using dxtest::Outcome;
using dxtest::run_tool;
using dxtest::snapshot;
using dxtest::TempDir;

TEST(WriterFailureRun, OutputNameTakenByAFolderEndsTheRun) {
  // A text table and a data file of the per-period loop.
  for (const char* name : {"Sensl.txt", "Fre_03.dat"}) {
    SCOPED_TRACE(name);
    TempDir tmp;
    dxtest::sample::generate(tmp.path(), 6, 4);
    std::filesystem::create_directory(tmp / name);
    dxtest::write_file(tmp / name + "/inside", "kept");
    const Outcome r = run_tool(tmp.path());
    DX_SKIP_IF_NO_FIXED_PATH(r);
    // Tables are named as they stand, data sets with their "./" folder.
    const std::string shown = std::string(name).ends_with(".txt") ? std::string(name) : "./" + std::string(name);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "drought-export: error: cannot replace " + shown + ": " + std::strerror(EISDIR) + "\n");
    EXPECT_EQ(dxtest::read_file(tmp / name + "/inside"), "kept");
    EXPECT_TRUE(dxtest::temp_files_in(tmp.path()).empty());
  }
}

TEST(WriterFailureRun, FullDiskEndsTheRunAndKeepsThePreviousFile) {
  dxtest::SmallTmpfs disk(64 << 20);
  if (!disk.ok()) GTEST_SKIP() << "full-disk test skipped: " << disk.reason();
  // A first, small run leaves a good set of outputs on the disk.
  dxtest::sample::generate(disk.path(), 3, 1);
  Outcome r = run_tool(disk.path());
  DX_SKIP_IF_NO_FIXED_PATH(r);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::map<std::string, std::string> before = snapshot(disk.path());

  // Inputs for many more stations, then a disk with about 1 MB left: the
  // outputs of the second run do not fit.
  dxtest::sample::generate(disk.path(), 400, 2);
  struct statvfs fs {};
  ASSERT_EQ(statvfs(disk.path().c_str(), &fs), 0);
  const off_t free_bytes = static_cast<off_t>(fs.f_bavail) * static_cast<off_t>(fs.f_bsize);
  const int fd = open((disk / "filler").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(posix_fallocate(fd, 0, free_bytes - (1 << 20)), 0);
  ASSERT_EQ(close(fd), 0);

  r = run_tool(disk.path());
  EXPECT_EQ(r.status, 1);
  const std::string prefix = "drought-export: error: cannot write ";
  const std::string reason = std::string(": ") + std::strerror(ENOSPC) + "\n";
  ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
  ASSERT_TRUE(r.err.ends_with(reason)) << r.err;
  std::string failed = r.err.substr(prefix.size(), r.err.size() - prefix.size() - reason.size());
  if (failed.starts_with("./")) failed.erase(0, 2);
  ASSERT_TRUE(before.contains(failed)) << failed;
  EXPECT_EQ(dxtest::read_file(disk / failed), before.at(failed));
  EXPECT_TRUE(dxtest::temp_files_in(disk.path()).empty());
}

}  // namespace
