#include "output/out_file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "run/error.hpp"
#include "support/faults.hpp"
#include "support/temp_dir.hpp"

namespace dx {
namespace {

using dxtest::read_file;
using dxtest::TempDir;
using dxtest::varied_text;


// Writes through every path of OutFile: appends to the buffer, small and
// large direct writes, explicit flushes.  Returns what the file must hold.
std::string write_mixed(OutFile& out) {
  std::string expect;
  const auto append = [&](const std::string& s) {
    out.buffer().append(s);
    out.flush_if_full();
    expect += s;
  };
  const auto direct = [&](const std::string& s) {
    out.write(s);
    expect += s;
  };
  for (int i = 0; i < 50; ++i) append(varied_text(30000, static_cast<char>(i)));  // crosses the buffer size
  direct(varied_text(100, 'x'));
  direct(varied_text(3 * OutFile::kBufferSize + 17, 'y'));  // larger than the buffer: written straight through
  append(varied_text(10, 'z'));
  out.flush();
  direct(varied_text(OutFile::kBufferSize - 5, 'w'));
  direct(varied_text(OutFile::kBufferSize, 'v'));
  return expect;
}

TEST(OutFile, CommitLeavesExactlyTheBytesWrittenAndNoTemporaryFile) {
  // The same bytes whether write() moves everything at once or in short,
  // interrupted pieces.
  for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{4093}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    TempDir dir;
    const std::string path = dir / "table.txt";
    dxtest::write_file(path, "previous content that is longer than nothing\n");
    std::string expect;
    {
      std::optional<dxtest::ChoppyWrites> choppy;
      if (chunk > 0) choppy.emplace(chunk);
      OutFile out(path);
      if (chunk == 1) {
        out.buffer() = "tiny\n";
        expect = "tiny\n";
      } else {
        expect = write_mixed(out);
      }
      out.commit();
    }
    EXPECT_EQ(read_file(path), expect);
    EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{"table.txt"});
  }
}

TEST(OutFile, DroppedBeforeCommitKeepsThePreviousFile) {
  TempDir dir;
  const std::string path = dir / "Sensl.dat";
  dxtest::write_file(path, "good old bytes");
  {
    OutFile out(path);
    out.write(varied_text(2 * OutFile::kBufferSize, 'a'));
    EXPECT_TRUE(dxtest::file_exists(path + std::string(TEMP_SUFFIX)));
  }
  EXPECT_EQ(read_file(path), "good old bytes");
  EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
}

struct InjectedCase {
  dxtest::Fault fault;
  std::size_t budget;
  const char* verb;  // how the message starts
  int err;           // the reason it names
};

TEST(OutFile, FailedSystemCallNamesFileAndReasonAndKeepsThePreviousFile) {
  const InjectedCase cases[] = {
      {dxtest::Fault::OpenDenied, 0, "cannot create", EACCES},
      {dxtest::Fault::WriteNoSpace, 0, "cannot write", ENOSPC},
      {dxtest::Fault::WriteNoSpace, 1500000, "cannot write", ENOSPC},  // part-way through a large write
      {dxtest::Fault::WriteReturnsZero, 4096, "cannot write", ENOSPC},
      {dxtest::Fault::CloseFails, 0, "cannot close", EIO},
      {dxtest::Fault::RenameFails, 0, "cannot replace", EXDEV},
  };
  for (const InjectedCase& c : cases) {
    SCOPED_TRACE(std::string(dxtest::fault_name(c.fault)) + " budget " + std::to_string(c.budget));
    TempDir dir;
    const std::string path = dir / "Fre_all.txt";
    dxtest::write_file(path, "the previous good table\n");
    const std::string msg = dxtest::error_of([&] {
      dxtest::InjectedFault fault(c.fault, c.budget);
      OutFile out(path);
      write_mixed(out);
      out.commit();
    });
    EXPECT_EQ(msg, std::string(c.verb) + " " + path + ": " + std::strerror(c.err));
    EXPECT_EQ(read_file(path), "the previous good table\n");
    EXPECT_TRUE(dxtest::temp_files_in(dir.path()).empty());
  }
}

}  // namespace
}  // namespace dx
