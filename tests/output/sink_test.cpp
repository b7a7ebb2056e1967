#include "output/sink.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "output/out_file.hpp"
#include "base/error.hpp"
#include "support/faults.hpp"
#include "support/sink_writes.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace dx {
namespace {

using dxtest::read_file;
using dxtest::TempDir;
using dxtest::varied_text;


const char* const kNames[] = {"Num_Dr_Mon.txt", "Num_Dr_Mon.dat", "Num_Dr_Mon.ctl", "Sensl.dat", "Sensl.ctl"};

// Counts the temporary files present whenever a new one is created, and
// holds the rename of the first file until a third would be open (or, as
// it must be, for half a second).
class CountingOps : public dxtest::HeldRename {
 public:
  explicit CountingOps(std::string dir)
      : HeldRename(kNames[0], [this] { return most_temps > 2; }), dir_(std::move(dir)) {}
  int open(int dir, const char* path, int flags, mode_t mode) const override {
    most_temps = std::max(most_temps.load(), dxtest::temp_files_in(dir_).size() + 1);
    return FileOps::open(dir, path, flags, mode);
  }
  mutable std::atomic<std::size_t> most_temps{0};  // only the calling thread creates files

 private:
  std::string dir_;
};

TEST(OutputSink, FilesHoldTheSameBytesAndAtMostTwoAreOpenAtOnce) {
  TempDir dir;
  std::vector<std::string> expect;
  const CountingOps counting(dir.path());
  {
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind, counting);
    OutputSink& sink = *sink_owner;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (i < 2) {
        // One write each: nothing but the limit on open files can then
        // keep the third file from being created while the first is held.
        OutFile out(sink, dir / kNames[i]);
        out.buffer() = dxtest::varied_text(100, i);
        expect.push_back(out.buffer());
        out.commit();
      } else {
        expect.push_back(dxtest::write_every_way(sink, dir / kNames[i], i));
      }
    }
    sink.settle();
  }
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    SCOPED_TRACE(kNames[i]);
    const std::string got = read_file(dir / kNames[i]);
    EXPECT_EQ(got.size(), expect[i].size());
    EXPECT_TRUE(got == expect[i]);
  }
  EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
  EXPECT_FALSE(counting.overtaken());
  EXPECT_EQ(counting.most_temps, 2u);
}

// Where no thread can be started (a process limit, as in a container), the
// sink writes directly: the same bytes, no abort.
TEST(OutputSink, WithoutThreadsWritesDirectly) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const dxtest::InChild child = dxtest::in_child([&](std::string&) {
    // Root is exempt from the process limit: run as nobody.
    if (::geteuid() == 0 && ::setuid(65534) != 0) return 10;
    const rlimit one{1, 1};
    if (::setrlimit(RLIMIT_NPROC, &one) != 0) return 11;
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind);
    OutputSink& sink = *sink_owner;
    if (sink.writes_behind()) return 12;  // the limit did not hold here
    const std::string expect = dxtest::write_every_way(sink, dir / kNames[0], 5);
    sink.settle();
    return read_file(dir / kNames[0]) == expect ? 0 : 13;
  });
  ASSERT_TRUE(child.exited) << "ended by signal " << child.status - 128;
  if (child.status == 12) GTEST_SKIP() << "the process limit does not hold here";
  EXPECT_EQ(child.status, 0);
  EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
}

struct FailureCase {
  dxtest::Fault fault;
  std::size_t budget;
  std::size_t failing;  // index of the file that fails
  const char* verb;
  int err;
};

// The first failure ends the output as with direct writes: the files before
// it are replaced, it and every later one keep their previous content, no
// temporary file stays, and the message names the failed file.
TEST(OutputSink, FirstFailureKeepsEarlierFilesAndDiscardsTheRest) {
  const FailureCase cases[] = {
      {dxtest::Fault::OpenDenied, 0, 2, "cannot create", EACCES},
      {dxtest::Fault::WriteNoSpace, 0, 0, "cannot write", ENOSPC},
      {dxtest::Fault::WriteNoSpace, 2500000, 1, "cannot write", ENOSPC},
      {dxtest::Fault::WriteReturnsZero, 4096, 3, "cannot write", ENOSPC},
      {dxtest::Fault::CloseFails, 0, 1, "cannot close", EIO},
      {dxtest::Fault::RenameFails, 0, 2, "cannot replace", EXDEV},
      {dxtest::Fault::RenameFails, 0, 4, "cannot replace", EXDEV},  // the last file
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(std::string(dxtest::fault_name(c.fault)) + " at file " + std::to_string(c.failing));
    TempDir dir;
    for (const char* name : kNames) dxtest::write_file(dir / name, std::string("old ") + name);
    std::vector<std::string> expect;
    const dxtest::InjectedFault fault(c.fault, c.budget, static_cast<int>(c.failing));
    const std::string msg = dxtest::error_of([&] {
      const auto sink_owner = make_output_sink(OutputSink::Mode::Behind, fault);
      OutputSink& sink = *sink_owner;
      for (std::size_t i = 0; i < std::size(kNames); ++i)
        expect.push_back(dxtest::write_every_way(sink, dir / kNames[i], i));
      sink.settle();
    });
    EXPECT_EQ(msg, std::string(c.verb) + " " + (dir / kNames[c.failing]) + ": " + std::strerror(c.err));
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      SCOPED_TRACE(kNames[i]);
      const std::string got = read_file(dir / kNames[i]);
      if (i < c.failing) EXPECT_TRUE(got == expect[i]);
      else EXPECT_EQ(got, std::string("old ") + kNames[i]);
    }
    EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
  }
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// The previous file at an output's name is kept referenced across the
// rename and let go afterwards.  Whatever it was, only the name changes
// hands: a second name of the old file keeps the old bytes, a link's target
// is untouched, a pipe is replaced without being opened, and once the
// output is done no reference to any replaced file is left open.
TEST(OutputSink, ReplacedFilesAreLetGoWhateverWasThere) {
  TempDir dir, outside;
  dxtest::write_file(dir / kNames[0], "old plain");
  dxtest::write_file(dir / kNames[1], "old linked");
  ASSERT_EQ(::link((dir / kNames[1]).c_str(), (outside / "backup").c_str()), 0) << std::strerror(errno);
  ASSERT_EQ(::mkfifo((dir / kNames[2]).c_str(), 0644), 0) << std::strerror(errno);
  dxtest::write_file(outside / "target", "target");
  ASSERT_EQ(::symlink((outside / "target").c_str(), (dir / kNames[3]).c_str()), 0) << std::strerror(errno);
  // kNames[4] does not exist yet.
  const std::size_t descriptors = open_descriptors();
  std::vector<std::string> expect(std::size(kNames));
  {
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind);
    OutputSink& sink = *sink_owner;
    // Three rounds: later rounds replace the files of earlier ones, more
    // of them than are ever held at once.
    for (std::size_t round = 0; round < 3; ++round)
      for (std::size_t i = 0; i < std::size(kNames); ++i)
        expect[i] = dxtest::write_every_way(sink, dir / kNames[i], 10 * round + i);
    sink.settle();
  }
  EXPECT_EQ(open_descriptors(), descriptors);
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    SCOPED_TRACE(kNames[i]);
    struct stat st {};
    ASSERT_EQ(::lstat((dir / kNames[i]).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(read_file(dir / kNames[i]) == expect[i]);
  }
  EXPECT_EQ(read_file(outside / "backup"), "old linked");
  EXPECT_EQ(read_file(outside / "target"), "target");
  EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
}

// With the descriptor of its folder, the sink writes there whatever happens
// to the folder's path: renamed while files are written, with a symbolic
// link to another folder put at the old path, every file still ends up
// complete in the folder opened, and no temporary file is stranded.
TEST(OutputSink, FilesStayInTheFolderOpenedWhenItsPathChanges) {
  TempDir top;
  const std::string out = top / "out", moved = top / "moved", other = top / "other";
  std::filesystem::create_directory(out);
  std::filesystem::create_directory(other);
  const int folder = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0) << std::strerror(errno);
  std::vector<std::string> expect;
  {
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind, system_file_ops(), folder);
    OutputSink& sink = *sink_owner;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (i == 2) {
        std::filesystem::rename(out, moved);
        std::filesystem::create_directory_symlink(other, out);
      }
      expect.push_back(dxtest::write_every_way(sink, out + "/" + kNames[i], i));
    }
    sink.settle();
  }
  ::close(folder);
  for (std::size_t i = 0; i < std::size(kNames); ++i) EXPECT_TRUE(read_file(moved + "/" + kNames[i]) == expect[i]);
  EXPECT_TRUE(dxtest::list_dir(other).empty());
  EXPECT_TRUE(dxtest::temp_files_in(moved).empty());
}

// A name that cannot be replaced (a folder) ends the output with the rename's
// reason; the reference taken to the folder is dropped with it.
TEST(OutputSink, AFolderAtAnOutputNameIsReportedAndNotHeld) {
  TempDir dir;
  std::filesystem::create_directory(dir / kNames[1]);
  const std::size_t descriptors = open_descriptors();
  const std::string msg = dxtest::error_of([&] {
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind);
    OutputSink& sink = *sink_owner;
    for (std::size_t i = 0; i < std::size(kNames); ++i) dxtest::write_every_way(sink, dir / kNames[i], i);
    sink.settle();
  });
  EXPECT_EQ(msg, "cannot replace " + (dir / kNames[1]) + ": " + std::strerror(EISDIR));
  EXPECT_EQ(open_descriptors(), descriptors);
  EXPECT_TRUE(std::filesystem::is_directory(dir / kNames[1]));
  EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
}

// A write cut short by a full disk goes on, after the replaced files are
// let go, with the bytes not yet written: no byte twice, none lost.
TEST(OutputSink, AWriteCutShortByAFullDiskGoesOnWhereItStopped) {
  TempDir dir;
  const dxtest::InjectedFault full_once(dxtest::Fault::NoSpaceOnce, 1500000);
  std::string expect;
  {
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind, full_once);
    OutputSink& sink = *sink_owner;
    expect = dxtest::write_every_way(sink, dir / kNames[0], 3);
    sink.settle();
  }
  EXPECT_EQ(read_file(dir / kNames[0]).size(), expect.size());
  EXPECT_TRUE(read_file(dir / kNames[0]) == expect);
}

// Lets go of replaced files slowly, as a device that discards slowly does.
class SlowRelease : public FileOps {
 public:
  int close(int fd) const override {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_PATH) != 0) ::usleep(30000);
    return FileOps::close(fd);
  }
};

// Replaced files that are not let go yet still take their room.  On a disk
// with room for the old outputs and two files more, which is all that
// replacing them one by one needs, the run must still fit: a write that
// finds the disk full waits for them and goes on.
TEST(OutputSink, AFullDiskWaitsForReplacedFilesToBeLetGo) {
  constexpr std::size_t kMiB = std::size_t{1} << 20, kBlocks = 4;
  dxtest::SmallTmpfs disk((kBlocks * std::size(kNames) + 2 * kBlocks + 1) * kMiB);
  if (!disk.ok()) GTEST_SKIP() << "full-disk test skipped: " << disk.reason();
  for (const char* name : kNames) dxtest::write_file(disk / name, std::string(kBlocks * kMiB, 'o'));
  std::vector<std::string> expect(std::size(kNames));
  const SlowRelease slow;
  std::string msg;
  try {
    const auto sink_owner = make_output_sink(OutputSink::Mode::Behind, slow);
    OutputSink& sink = *sink_owner;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      OutFile out(sink, disk / kNames[i]);
      for (std::size_t b = 0; b < kBlocks; ++b) {
        const std::string block = varied_text(kMiB, 10 * i + b);
        out.buffer().append(block);
        out.flush();
        expect[i] += block;
      }
      out.commit();
    }
    sink.settle();
  } catch (const Error& e) {
    msg = e.what();
  }
  EXPECT_EQ(msg, "");
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    SCOPED_TRACE(kNames[i]);
    EXPECT_TRUE(read_file(disk / kNames[i]) == expect[i]);
  }
  EXPECT_TRUE(dxtest::temp_files_in(disk.path()).empty());
}

}  // namespace
}  // namespace dx
