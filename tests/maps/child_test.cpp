// The child processes of the maps: their output (bounded, keeping its end
// and its errors), their status, word of one that runs long, and their end
// at the time limit or with the run.
#include "maps/child.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "base/descriptor.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace {

// Whether the process whose id (and a line feed) is in the file `pid_file`
// still runs: not gone, not a zombie waiting for whoever inherited it.
// Waits up to 2 s for it to end.
bool still_running(const std::string& pid_file) {
  const std::string pid = dxtest::read_file(pid_file);
  const auto running = [&] {
    std::ifstream in("/proc/" + pid.substr(0, pid.find('\n')) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
  };
  for (int i = 0; i < 100 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return running();
}

TEST(Child, EachChildIsReportedWithItsOutputStatusAndTimeLimit) {
  dxtest::TempDir dir;
  const std::string sh = dxtest::find_on_path("sh");
  const dx::Descriptor root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::vector<dx::ChildJob> jobs = {
      {{sh, "-c", "echo out; echo err >&2; exit 3"}, AT_FDCWD, 30},
      {{sh, "-c", "pwd"}, root.get(), 30},
      // Past its limit: ended, however long it meant to take.
      {{sh, "-c", "echo started; exec sleep 30"}, AT_FDCWD, 0.3},
      // A talkative child: 3 MB, an error line in the middle, its last
      // words at the end.
      {{sh, "-c",
        "yes talk | head -c 1500000; echo; echo 'Error: in the middle'; yes more | head -c 1500000; echo; "
        "echo last words"},
       AT_FDCWD,
       30},
      // A file-size limit ends a child as it would from a shell, though
      // the run itself ignores SIGXFSZ for its own writes.
      {{sh, "-c", "kill -XFSZ $$; echo survived"}, AT_FDCWD, 30},
      // Past its limit with a process it started: both ended.
      {{sh, "-c", "sleep 30 & echo $! > '" + dir / "started" + "'; exec sleep 30"}, AT_FDCWD, 0.3},
  };
  dx::CleanupList cleanup;
  std::vector<dx::ChildResult> results(jobs.size());
  std::vector<std::pair<std::size_t, double>> slow;
  const double start = dxtest::now_seconds();
  const auto ignored = ::signal(SIGXFSZ, SIG_IGN);
  dx::run_children(jobs, 2, cleanup, [&](std::size_t i, dx::ChildResult&& r) { results[i] = std::move(r); },
                   {0.2, [&](std::size_t i, double s) { slow.emplace_back(i, s); }});
  ::signal(SIGXFSZ, ignored);
  EXPECT_LT(dxtest::now_seconds() - start, 10.0);
  ASSERT_FALSE(slow.empty());
  EXPECT_EQ(slow.front().first, 2u);  // the one that sleeps
  EXPECT_GE(slow.front().second, 0.2);
  EXPECT_LT(results[3].output.size(), 300000u);
  EXPECT_TRUE(results[3].output.ends_with("\nlast words\n"));
  EXPECT_NE(results[3].output.find("\nError: in the middle\n"), std::string::npos);
  EXPECT_EQ(results[4].status, 128 + SIGXFSZ);
  EXPECT_EQ(results[4].output, "");
  EXPECT_TRUE(results[5].timed_out);
  EXPECT_FALSE(still_running(dir / "started")) << "what the child started outlived it";
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

// A run killed outright (SIGKILL, which no handler sees) takes its children
// with it: a hung one is never left running.
TEST(Child, ChildrenEndWithTheRunEvenAtSigkill) {
  const std::string sh = dxtest::find_on_path("sh");
  dxtest::TempDir dir;
  const std::string pid_file = dir / "pid";
  const dxtest::InChild run = dxtest::in_child([&](std::string&) {
    dx::CleanupList cleanup;
    dx::run_children({{{sh, "-c", "echo $$ > '" + pid_file + "'; exec sleep 30"}, AT_FDCWD, 60}}, 1, cleanup,
                     [](std::size_t, dx::ChildResult&&) {}, {0.5, [](std::size_t, double) { ::raise(SIGKILL); }});
    return 0;
  });
  EXPECT_EQ(run.status, 128 + SIGKILL);
  EXPECT_FALSE(still_running(pid_file)) << "the child outlived the run";
}

}  // namespace
