// The child processes of the maps: their output, their status, and their
// end at the time limit.
#include "maps/child.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <string>
#include <vector>

#include "base/descriptor.hpp"
#include "support/process.hpp"

namespace {

TEST(Child, EachChildIsReportedWithItsOutputStatusAndTimeLimit) {
  const std::string sh = dxtest::find_on_path("sh");
  const dx::Descriptor root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::vector<dx::ChildJob> jobs = {
      {{sh, "-c", "echo out; echo err >&2; exit 3"}, AT_FDCWD, 30},
      {{sh, "-c", "pwd"}, root.get(), 30},
      // Past its limit: ended, however long it meant to take.
      {{sh, "-c", "echo started; exec sleep 30"}, AT_FDCWD, 0.3},
  };
  dx::CleanupList cleanup;
  std::vector<dx::ChildResult> results(jobs.size());
  const double start = dxtest::now_seconds();
  dx::run_children(jobs, 2, cleanup, [&](std::size_t i, dx::ChildResult&& r) { results[i] = std::move(r); });
  EXPECT_LT(dxtest::now_seconds() - start, 10.0);
  EXPECT_EQ(results[0].status, 3);
  EXPECT_EQ(results[0].output, "out\nerr\n");
  EXPECT_FALSE(results[0].timed_out);
  EXPECT_EQ(results[1].output, "/\n");  // in its own folder
  EXPECT_TRUE(results[2].timed_out);
  EXPECT_EQ(results[2].output, "started\n");
  EXPECT_EQ(results[2].status, 128 + 9);
}

}  // namespace
