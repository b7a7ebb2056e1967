#include "output/out_file.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "support/faults.hpp"
#include "support/sink_writes.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace dx {
namespace {

using dxtest::read_file;
using dxtest::TempDir;

constexpr OutputSink::Mode kModes[] = {OutputSink::Mode::Direct, OutputSink::Mode::Behind};
const char* mode_name(OutputSink::Mode m) { return m == OutputSink::Mode::Direct ? "direct" : "behind"; }

TEST(OutFile, CommitLeavesExactlyTheBytesWrittenAndNoTemporaryFile) {
  // The same bytes whether write() moves everything at once or in short,
  // interrupted pieces.
  for (const OutputSink::Mode mode : kModes) {
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{4093}}) {
      SCOPED_TRACE(std::string(mode_name(mode)) + ", chunk " + std::to_string(chunk));
      TempDir dir;
      const std::string path = dir / "table.txt";
      dxtest::write_file(path, "previous content that is longer than nothing\n");
      const dxtest::ChoppyWrites choppy(chunk);
      std::string expect;
      {
        const auto sink_owner = make_output_sink(mode,
                                                 chunk > 0 ? static_cast<const FileOps&>(choppy) : system_file_ops());
        OutputSink& sink = *sink_owner;
        if (chunk == 1) {
          OutFile out(sink, path);
          out.buffer() = "tiny\n";
          expect = "tiny\n";
          out.commit();
        } else {
          expect = dxtest::write_every_way(sink, path, chunk);
        }
        sink.settle();
      }
      EXPECT_TRUE(read_file(path) == expect);
      EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{"table.txt"});
    }
  }
}

TEST(OutFile, DroppedBeforeCommitKeepsThePreviousFile) {
  for (const OutputSink::Mode mode : kModes) {
    SCOPED_TRACE(mode_name(mode));
    TempDir dir;
    const std::string path = dir / "Sensl.dat";
    dxtest::write_file(path, "good old bytes");
    {
      const auto sink_owner = make_output_sink(mode);
      OutputSink& sink = *sink_owner;
      OutFile out(sink, path);
      out.buffer().append(dxtest::varied_text(2 * OutFile::kBufferSize, 1));
      out.flush();
      EXPECT_TRUE(dxtest::file_exists(path + std::string(kTempSuffix)));
    }
    EXPECT_EQ(read_file(path), "good old bytes");
    EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
  }
}

// A replaced file keeps its permission bits, as a rewrite in place would.
TEST(OutFile, ReplacedFileKeepsItsMode) {
  for (const OutputSink::Mode mode : kModes) {
    SCOPED_TRACE(mode_name(mode));
    TempDir dir;
    const std::string path = dir / "Prob.ctl";
    dxtest::write_file(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    {
      const auto sink_owner = make_output_sink(mode);
      OutputSink& sink = *sink_owner;
      dxtest::write_every_way(sink, path, 3);
      sink.settle();
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
  }
}

// Memory for the buffer that cannot be had fails the file before its
// temporary file exists: an error exit leaves none behind.
TEST(OutFile, NoMemoryForTheBufferLeavesNoTemporaryFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
  TempDir dir;
  const dxtest::InChild child = dxtest::in_child([&](std::string&) {
    // Half a megabyte more address space than in use: less than a buffer.
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) return 10;
    std::fclose(statm);
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (512 << 10);
    const rlimit lim{limit, limit};
    if (::setrlimit(RLIMIT_AS, &lim) != 0) return 11;
    try {
      DirectSink sink;
      OutFile out(sink, dir / "Sensl.txt");
      return 12;  // the limit did not hold
    } catch (const std::bad_alloc&) {
      return 0;
    }
  });
  ASSERT_TRUE(child.exited);
  if (child.status == 12) GTEST_SKIP() << "the address-space limit does not hold here";
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{});
#endif
}

// Every failing step names the file and the reason and keeps the previous
// file, with no temporary file left, whether the sink writes directly or
// behind.
TEST(OutFile, FailedStepNamesFileAndReasonAndKeepsThePreviousFile) {
  enum class Place { Plain, MissingFolder, FolderInTheWay, FolderAtTempName, SmallDisk, LongName };
  struct Case {
    Place place;
    dxtest::Fault fault;
    std::size_t budget;
    const char* verb;  // how the message starts
    int err;           // the reason it names
  };
  const Case cases[] = {
      {Place::Plain, dxtest::Fault::OpenDenied, 0, "cannot create", EACCES},
      {Place::Plain, dxtest::Fault::WriteNoSpace, 0, "cannot write", ENOSPC},
      {Place::Plain, dxtest::Fault::WriteNoSpace, 1500000, "cannot write", ENOSPC},  // part-way
      {Place::Plain, dxtest::Fault::WriteReturnsZero, 4096, "cannot write", ENOSPC},
      {Place::Plain, dxtest::Fault::CloseFails, 0, "cannot close", EIO},
      {Place::Plain, dxtest::Fault::RenameFails, 0, "cannot replace", EXDEV},
      {Place::MissingFolder, dxtest::Fault::None, 0, "cannot create", ENOENT},
      {Place::FolderInTheWay, dxtest::Fault::None, 0, "cannot replace", EISDIR},
      {Place::FolderAtTempName, dxtest::Fault::None, 0, "cannot create", EISDIR},  // names the temporary file
      {Place::LongName, dxtest::Fault::None, 0, "cannot create", ENAMETOOLONG},  // only the temporary name is too long
      {Place::SmallDisk, dxtest::Fault::None, 0, "cannot write", ENOSPC},
  };
  for (const OutputSink::Mode mode : kModes) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(mode_name(mode)) + ", " + dxtest::fault_name(c.fault) + ", place " +
                   std::to_string(static_cast<int>(c.place)) + ", budget " + std::to_string(c.budget));
      TempDir tmp;
      std::optional<dxtest::SmallTmpfs> disk;
      if (c.place == Place::SmallDisk) {
        disk.emplace(64 * 1024);
        if (!disk->ok()) {
          std::cout << "full-disk case skipped: " << disk->reason() << "\n";
          continue;
        }
      }
      const std::string dir = disk ? disk->path() : tmp.path();
      const std::string name = c.place == Place::LongName ? std::string(249, 'x') : "Fre_all.txt";
      std::string path = dir + "/" + name;
      const char* const old = "the previous good table\n";
      if (c.place == Place::MissingFolder) {
        path = dir + "/gone/Fre_all.txt";
      } else if (c.place == Place::FolderInTheWay) {
        std::filesystem::create_directory(path);
        dxtest::write_file(path + "/keep", old);
      } else {
        dxtest::write_file(path, old);
      }
      const std::string temp = path + std::string(kTempSuffix);
      if (c.place == Place::FolderAtTempName) std::filesystem::create_directory(temp);
      const dxtest::InjectedFault fault(c.fault, c.budget);
      const std::string msg = dxtest::error_of([&] {
        const auto sink_owner = make_output_sink(mode, fault);
        OutputSink& sink = *sink_owner;
        dxtest::write_every_way(sink, path, 7);
        sink.settle();
      });
      EXPECT_EQ(msg, std::string(c.verb) + " " + (c.place == Place::FolderAtTempName ? temp : path) + ": " +
                         std::strerror(c.err));
      if (c.place == Place::FolderInTheWay) {
        EXPECT_EQ(read_file(path + "/keep"), old);
      } else if (c.place != Place::MissingFolder) {
        EXPECT_EQ(read_file(path), old);
      }
      std::vector<std::string> left = {name};
      if (c.place == Place::MissingFolder) left.clear();
      if (c.place == Place::FolderAtTempName) left.push_back("Fre_all.txt" + std::string(kTempSuffix));
      EXPECT_EQ(dxtest::list_dir(dir), left);
    }
  }
}

}  // namespace
}  // namespace dx
