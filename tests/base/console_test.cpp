#include "base/console.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "base/error.hpp"
#include "support/fs.hpp"

namespace dx {
namespace {

// Runs `body` with file descriptor 1 pointing at `path` and restores the
// real standard output afterwards, discarding whatever stdio still holds for
// the redirected descriptor.  Assertions belong after the call: while the
// descriptor is redirected, the test framework's own output would be lost.
void with_stdout_on(const std::string& path, const std::function<void()>& body) {
  ASSERT_EQ(std::fflush(stdout), 0);
  const int saved = dup(1);
  ASSERT_GE(saved, 0);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_GE(dup2(fd, 1), 0);
  close(fd);
  body();
  __fpurge(stdout);
  std::clearerr(stdout);
  ASSERT_GE(dup2(saved, 1), 0);
  close(saved);
}

TEST(Console, LinesReachStandardOutputExactly) {
  dxtest::TempDir dir;
  const std::string path = dir / "stdout.txt";
  bool threw = false;
  with_stdout_on(path, [&] {
    try {
      console_line({Value::text("   Reading netCDF file: "), Value::text("Sen_Prob_idx_Stn.nc"), Value::text("...")});
      console_line({Value::text("; length = "), Value::integer(180)});
      console_flush();
    } catch (const Error&) {
      threw = true;
    }
  });
  EXPECT_FALSE(threw);
  EXPECT_EQ(dxtest::read_file(path),
            "    Reading netCDF file: Sen_Prob_idx_Stn.nc...\n"
            " ; length =          180\n");
}

TEST(Console, FullDeviceIsReportedNotIgnored) {
  // A single short line may sit in the stdio buffer until the flush, which
  // must then fail; a line-buffered stdout fails on the line itself.
  std::string error;
  with_stdout_on("/dev/full", [&] {
    try {
      console_line({Value::text("Write to Grads Num_Dr_Mon Done")});
      console_flush();
    } catch (const Error& e) {
      error = e.what();
    }
  });
  EXPECT_NE(error.find("standard output"), std::string::npos) << error;
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;

  // More lines than any stdio buffer holds: a line itself must fail.
  std::string line_error;
  int written = 0;
  with_stdout_on("/dev/full", [&] {
    try {
      for (; written < 100000; ++written)
        console_line({Value::text("   Reading netCDF file: "), Value::text("Fre_Mag_Stn_all_period.nc")});
    } catch (const Error& e) {
      line_error = e.what();
    }
  });
  EXPECT_LT(written, 100000);
  EXPECT_NE(line_error.find("No space left on device"), std::string::npos) << line_error;
}

}  // namespace
}  // namespace dx
