// Standard output that fails in the middle of the run: a pipe whose reader
// goes away, and a disk that fills up.  With SIGPIPE ignored the run ends
// with the error line and status 1; with SIGPIPE at its default the process
// is killed by the signal (status 141 through a shell), which is the usual
// behaviour of a command-line tool in a pipeline.  Either way no output is
// half written, and a run that cannot print its progress lines never
// reports success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "run/sample_files.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace {

using dxtest::outputs_in;
using dxtest::TempDir;

TEST(StdoutFailure, AReaderThatGoesAwayEndsTheRun) {
  struct Case {
    const char* what;
    std::size_t read_first;  // bytes read before the reader closes
    bool ignore_sigpipe;
  };
  const Case cases[] = {
      {"closed at once, SIGPIPE ignored", 0, true},
      {"closed after 4096 bytes, SIGPIPE ignored", 4096, true},
      {"closed at once, SIGPIPE default", 0, false},
      {"closed after 4096 bytes, SIGPIPE default", 4096, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    dxtest::sample::generate(tmp.path(), 30, 4);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // The smallest pipe buffer: the tool blocks on it, so the reader, not
    // the buffer, decides where the run is when the pipe breaks.
    ASSERT_GT(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
    dxtest::Launch l = dxtest::tool_launch(tmp.path());
    l.stdout_fd = fds[1];
    l.ignore_sigpipe = c.ignore_sigpipe;
    dxtest::Child child(l);
    close(fds[1]);
    std::string got(c.read_first, '\0');
    std::size_t have = 0;
    while (have < got.size()) {
      const ssize_t k = read(fds[0], got.data() + have, got.size() - have);
      if (k <= 0) break;
      have += static_cast<std::size_t>(k);
    }
    close(fds[0]);
    const dxtest::Outcome r = child.wait();
    DX_SKIP_IF_NO_FIXED_PATH(r);
    EXPECT_EQ(have, c.read_first);
    EXPECT_TRUE(got.empty() || got.starts_with("    Reading netCDF file: Num_Drou_Mon_Stn.nc...\n"));
    if (c.ignore_sigpipe) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, std::string("drought-export: error: cannot write to standard output: ") +
                           std::strerror(EPIPE) + "\n");
    } else {
      EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
      EXPECT_EQ(r.err, "");
    }
    // The pipe broke while the inputs were being read: nothing was written.
    EXPECT_TRUE(outputs_in(tmp.path()).empty());
  }
}

// Standard output on a disk with room for the first three 4 KB blocks of
// the progress lines only: the last block goes out when the run ends, after
// every output has been written.  The outputs stay, complete, but the run
// reports the loss of its progress lines with status 1.
TEST(StdoutFailure, AFullDiskAtTheLastProgressLineIsAnError) {
  dxtest::SmallTmpfs disk(3 * 4096);
  if (!disk.ok()) GTEST_SKIP() << "full-disk test skipped: " << disk.reason();
  TempDir tmp;
  dxtest::sample::generate(tmp.path(), 30, 5);
  dxtest::Launch l = dxtest::tool_launch(tmp.path());
  l.stdout_path = disk / "progress.log";
  const dxtest::Outcome r = dxtest::run(l);
  DX_SKIP_IF_NO_FIXED_PATH(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("drought-export: error: cannot write to standard output: ") + std::strerror(ENOSPC) +
                       "\n");
  EXPECT_TRUE(dxtest::check_outputs(tmp.path(), tmp / "SPI_Stn.nc"));
  EXPECT_TRUE(dxtest::temp_files_in(tmp.path()).empty());
}

}  // namespace
