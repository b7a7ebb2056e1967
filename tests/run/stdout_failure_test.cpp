// Standard output that fails during the run: a pipe whose reader goes
// away, a device that is always full, and a disk that fills up.  With
// SIGPIPE ignored the run ends with the error line and status 1; with
// SIGPIPE at its default the process is killed by the signal (status 141
// through a shell), which is the usual behaviour of a command-line tool in
// a pipeline.  Either way no output is half written, and a run that cannot
// print its progress lines never reports success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "run/sample_files.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace dxtest {
namespace {

TEST(StdoutFailure, EndsTheRunWithoutAHalfWrittenOutput) {
  // Standard output: a pipe, /dev/full, or a file on a disk with room for
  // three 4 KB blocks.
  enum Target { kPipe, kDevFull, kSmallDisk };
  struct Case {
    const char* what;
    Target target;
    std::size_t read_first;  // bytes the pipe's reader reads before it closes
    bool ignore_sigpipe;
    int status;
    int error;     // errno of the error line; 0: no error line
    bool outputs;  // the outputs are written, complete (otherwise none)
  };
  const Case cases[] = {
      // The pipe or the device fails while the inputs are being read.
      {"pipe closed at once, SIGPIPE ignored", kPipe, 0, true, 1, EPIPE, false},
      {"pipe closed after 4096 bytes, SIGPIPE ignored", kPipe, 4096, true, 1, EPIPE, false},
      {"pipe closed at once, SIGPIPE default", kPipe, 0, false, 128 + SIGPIPE, 0, false},
      {"pipe closed after 4096 bytes, SIGPIPE default", kPipe, 4096, false, 128 + SIGPIPE, 0, false},
      {"/dev/full", kDevFull, 0, false, 1, ENOSPC, false},
      // The last block goes out when the run ends, after every output has
      // been written: the outputs stay, but the run reports the loss.
      {"full disk at the last progress line", kSmallDisk, 0, false, 1, ENOSPC, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    sample::generate(tmp.path(), 30, 4);
    Launch l = tool_launch(tmp.path());
    l.ignore_sigpipe = c.ignore_sigpipe;
    int fds[2] = {-1, -1};
    std::optional<SmallTmpfs> disk;
    if (c.target == kSmallDisk) {
      disk.emplace(3 * 4096);
      if (!disk->ok()) GTEST_SKIP() << "full-disk case skipped: " << disk->reason();
      l.stdout_path = *disk / "progress.log";
    } else if (c.target == kDevFull) {
      l.stdout_path = "/dev/full";
    } else {
      ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
      // The smallest pipe buffer: the tool blocks on it, so the reader, not
      // the buffer, decides where the run is when the pipe breaks.
      ASSERT_GT(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
      l.stdout_fd = fds[1];
    }
    Child child(l);
    std::string got(c.read_first, '\0');
    std::size_t have = 0;
    if (fds[0] >= 0) {
      close(fds[1]);
      while (have < got.size()) {
        const ssize_t k = read(fds[0], got.data() + have, got.size() - have);
        if (k <= 0) break;
        have += static_cast<std::size_t>(k);
      }
      close(fds[0]);
    }
    const Outcome r = child.wait();
    EXPECT_EQ(have, c.read_first);
    EXPECT_TRUE(got.empty() || got.starts_with("    Reading netCDF file: Num_Drou_Mon_Stn.nc...\n"));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, c.error ? std::string("drought-export: error: cannot write to standard output: ") +
                                   std::strerror(c.error) + "\n"
                             : "");
    if (c.outputs) EXPECT_TRUE(check_outputs(tmp.path(), tmp / "SPI_Stn.nc"));
    else EXPECT_TRUE(outputs_in(tmp.path()).empty());
    EXPECT_TRUE(temp_files_in(tmp.path()).empty());
  }
}

}  // namespace
}  // namespace dxtest
