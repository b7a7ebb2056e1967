// scripts/at_fixed_path.sh: runs a command with a station file visible at
// drought-export's fixed station-file path, in a private mount namespace or,
// failing that, by creating the file there without ever replacing a file
// that is not sample data.  The fallback is exercised inside a throw-away
// mount namespace with a tmpfs over /home, so the machine's real /home is
// never touched by these tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "input/result_files.hpp"
#include "run/sample_files.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace dxtest {
namespace {

const std::string kFixed(dx::kStationFile);
const std::string kScript = std::string(DX_SOURCE_DIR) + "/scripts/at_fixed_path.sh";

TEST(FixedPath, NamespaceShowsTheFileOnlyToTheCommand) {
  TempDir dir;
  sample::generate(dir.path(), 8, 2);
  const bool existed = file_exists("/home/mirle");
  // The command checks that it sees the very file, writes into its folder
  // and ends with a status of its own.
  const Outcome r = run({.argv = {kScript, "SPI_Stn.nc", "--", "/bin/sh", "-c",
                                  "cmp " + kFixed + " SPI_Stn.nc && echo seen > out.txt && exit 7"},
                         .cwd = dir.path(),
                         .env = {"DX_FIXED_PATH_MODE=namespace"}});
  DX_SKIP_IF_NO_FIXED_PATH(r);
  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_EQ(read_file(dir / "out.txt"), "seen\n");
  EXPECT_EQ(file_exists("/home/mirle"), existed) << "the real file system changed";
}

TEST(FixedPath, RejectsBadCalls) {
  TempDir dir;
  write_file(dir / "st.nc", "x");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"st.nc", "true"}, "usage:"},
      {{"missing.nc", "--", "true"}, "missing.nc: no such readable file"},
      {{"st.nc", "--", "no-such-command-dx"}, "no-such-command-dx: command not found"},
      {{"st.nc", "--", "./st.nc"}, "./st.nc: not an executable file"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {kScript};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Outcome r = run({.argv = argv, .cwd = dir.path()});
    EXPECT_EQ(r.status, 125) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// Runs `script` with bash inside a new mount namespace whose /home is an
// empty tmpfs; skips the test where no such namespace can be made.
Outcome in_sandbox(const std::string& cwd, const std::string& script) {
  std::vector<std::string> argv = {"/usr/bin/unshare"};
  if (geteuid() != 0) argv.insert(argv.end(), {"--user", "--map-root-user"});
  argv.insert(argv.end(), {"--mount", "--propagation", "private", "/bin/bash", "-c",
                           "set -u; mount -t tmpfs dx-test /home || exit 99\n"
                           "export DX_FIXED_PATH_MODE=create AT='" +
                               kScript + "' F='" + kFixed + "'\n" + script});
  return run({.argv = argv, .cwd = cwd});
}

TEST(FixedPath, FallbackCreatesTheFileOnlyWhereItHarmsNothing) {
  if (!file_exists("/usr/bin/unshare") || !file_exists("/home")) GTEST_SKIP() << "needs unshare and /home";
  TempDir dir;
  sample::generate(dir.path(), 6, 4);
  sample::generate(dir.path() + "/other", 3, 9);
  struct Case {
    std::string name;
    std::string before;  // prepares /home inside the sandbox
    std::string expect;  // facts printed by the check after the run
    int status;
  };
  // After each run the script prints: the command's exit status, what lies
  // under /home, and the first bytes of whatever file is at the fixed path.
  const std::string run_and_report =
      "\"$AT\" SPI_Stn.nc -- /bin/sh -c 'cmp \"$F\" SPI_Stn.nc && echo ran'; echo \"status=$?\"\n"
      "find /home -mindepth 1 | sort | tr '\\n' ' '; echo\n"
      "if [ -f \"$F\" ]; then cmp -s \"$F\" other/SPI_Stn.nc && echo kept-sample || head -c 7 \"$F\"; fi\n";
  const std::string tree =
      "/home/mirle /home/mirle/KOSTRAL_New /home/mirle/KOSTRAL_New/RES "
      "/home/mirle/KOSTRAL_New/RES/SPI_Res /home/mirle/KOSTRAL_New/RES/SPI_Res/SPI_Stn.nc ";
  const std::vector<Case> cases = {
      {"nothing there: created for the run, removed with its folders", "mkdir /home/keep",
       "ran\nstatus=0\n/home/keep \n", 0},
      {"an earlier sample there: replaced for the run, then put back",
       "mkdir -p \"${F%/*}\" && cp other/SPI_Stn.nc \"$F\"", "ran\nstatus=0\n" + tree + "\nkept-sample\n", 0},
      {"a foreign file there: refused and left alone", "mkdir -p \"${F%/*}\" && echo foreign > \"$F\"",
       "status=125\n" + tree + "\nforeign", 125},
      {"the runs' lock left where it cannot be written (another user's): taken all the same",
       "mkdir /home/lk && : > /home/lk/dx-fixed-path.lock && mount --bind /home/lk /home/lk && "
       "mount -o remount,bind,ro /home/lk && export TMPDIR=/home/lk",
       "ran\nstatus=0\n/home/lk /home/lk/dx-fixed-path.lock \n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = in_sandbox(dir.path(), c.before + "\n" + run_and_report);
    if (r.status == 99 || r.err.find("unshare:") != std::string::npos) {
      GTEST_SKIP() << "cannot make a sandbox mount namespace: " << r.err;
    }
    EXPECT_EQ(r.out, c.expect) << r.err;
    if (c.status == 125) {
      EXPECT_NE(r.err.find("refusing to touch " + kFixed), std::string::npos) << r.err;
    }
  }
}

}  // namespace
}  // namespace dxtest
