// The child processes of the maps: their output, their status, and their
// end at the time limit.
#include "maps/child.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "base/descriptor.hpp"
#include "support/faults.hpp"
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

  // A child the cleanup list has no room for is ended at once, not left
  // for a signal to miss.
  dx::CleanupList full;
  for (std::size_t i = 0; i < dx::CleanupList::kProcessSlots; ++i) full.add_process(100000 + static_cast<int>(i));
  const std::string msg = dxtest::error_of([&] {
    dx::run_children({{{sh, "-c", "exec sleep 30"}, AT_FDCWD, 30}}, 1, full, [](std::size_t, dx::ChildResult&&) {});
  });
  EXPECT_TRUE(msg.starts_with("cannot register process ")) << msg;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child left, running or not waited for
  for (std::size_t i = 0; i < dx::CleanupList::kProcessSlots; ++i) full.remove_process(static_cast<int>(i));
}

}  // namespace
