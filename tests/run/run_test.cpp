// End-to-end tests of the whole run: the real binary on generated inputs,
// with the station file provided at its fixed path in a private mount
// namespace (or the guarded fallback of scripts/at_fixed_path.sh).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <netcdf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "base/console.hpp"
#include "input/result_files.hpp"
#include "run/run.hpp"
#include "run/sample_files.hpp"
#include "support/capture.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/nc_fixture.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"

namespace dxtest {
namespace {

const std::string kFirstProgressLine = "    Reading netCDF file: Num_Drou_Mon_Stn.nc...\n";

// The progress lines of one read: the station dimension, and the column
// dimension of a 2-D variable.
std::string read_lines(std::string_view file, long nstn, const char* coldim, long ncol) {
  char b[128];
  std::string s = "    Reading netCDF file: " + std::string(file) + "...\n";
  std::snprintf(b, sizeof b, "       - Longitude's name = %-15s; length = %12ld\n", "stn", nstn);
  s += b;
  if (coldim) {
    std::snprintf(b, sizeof b, "       - Latitude's name  = %-15s; length = %12ld\n", coldim, ncol);
    s += b;
  }
  return s + "    Completed reading file " + std::string(file) + "\n";
}

std::string expected_stdout(long nstn) {
  std::string s;
  for (const dx::InputVar& r : dx::input_reads()) {
    const auto f = static_cast<std::size_t>(r.file);
    s += read_lines(r.file == dx::kStationInput ? dx::kStationFile : dx::kInputFileNames[f], nstn,
                    r.rank == 2 ? sample::kColumnDim[f] : nullptr, r.min_columns);
  }
  return s + " Write to Grads Num_Dr_Mon Done\n";
}

// The run without options: the station file at its fixed path, the
// progress lines naming it.
TEST(WholeRun, WritesEveryOutputWithTheRightValuesAndProgressLines) {
  constexpr long kStations = 23;
  TempDir tmp;
  sample::generate(tmp.path(), kStations, 11);
  const Outcome r = run(fixed_path_launch(tmp.path()));
  DX_SKIP_IF_NO_FIXED_PATH(r);
  ASSERT_EQ(r.status, 0) << r.err;
  // Nothing from the tool on standard error; the wrapper may say how it
  // provides the station file (where there is no mount namespace to be had).
  std::string err = r.err;
  while (err.starts_with("at_fixed_path.sh: ")) err.erase(0, err.find('\n') + 1);
  EXPECT_EQ(err, "");
  EXPECT_EQ(r.out, expected_stdout(kStations));
  EXPECT_TRUE(check_outputs(tmp.path(), tmp / "SPI_Stn.nc", 4));
  const std::string ctl = read_file(tmp / "Fre_12.ctl");
  EXPECT_NE(ctl.find("tdef   18 linear jan1980 1mo\nvars   1\nFre 0 99 Factor\n"), std::string::npos) << ctl;
}

TEST(WholeRun, ASecondRunReplacesTheOutputsAndLeavesNoTemporaryFile) {
  TempDir tmp;
  sample::generate(tmp.path(), 5, 1);
  Outcome r = run_tool(tmp.path());
  ASSERT_EQ(r.status, 0) << r.err;
  sample::generate(tmp.path(), 7, 2);
  r = run_tool(tmp.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(check_outputs(tmp.path(), tmp / "SPI_Stn.nc"));
}

// The progress line of the first data set comes once that data set is on
// disk: the rename of its descriptor is held until the line is out (or,
// as it must be, for half a second).  With no stations every output is
// short.
TEST(WriteOutputs, ReportsTheFirstDataSetDoneOnlyOnceItIsOnDisk) {
  TempDir tmp;
  dx::Store st;
  const HeldRename held("/Num_Dr_Mon.ctl", [] {
    struct stat sb {};
    return std::fflush(stdout) == 0 && ::fstat(STDOUT_FILENO, &sb) == 0 && sb.st_size > 0;
  });
  Captured io;
  capture_stdio(
      [&] {
        const auto sink_owner = dx::make_output_sink(dx::OutputSink::Mode::Behind, held);
        dx::OutputSink& sink = *sink_owner;
        dx::write_outputs(st, sink, tmp.path());
        dx::console_flush();
      },
      io);
  EXPECT_EQ(io.out, " Write to Grads Num_Dr_Mon Done\n");
  EXPECT_FALSE(held.overtaken()) << "the line came before the data set was on disk";
  EXPECT_EQ(outputs_in(tmp.path()).size(), 33u);
}

// ---- Runs that fail ------------------------------------------------------

// A run that must fail: how its folder is set up, and how its error line
// begins (all of it, ending in "\n") and something it holds.  A run that
// fails on its inputs writes nothing at all.
struct Failure {
  std::string what;
  std::function<void(const std::string& dir, Launch& l)> setup;
  std::string err_start;
  std::string err_part;
  bool writes_nothing = true;
  bool reads = true;           // false: it stops before the first input is read
  bool folder_locked = false;  // another run holds the folder while it runs
};
const std::string kError = "drought-export: error: ";

// A result set of 40 stations whose file `name` is cut to a share `keep` of
// its length: a netCDF-3 file cut short is read by the library as zeros.
Failure truncated(NcFormat format, const char* name, double keep) {
  return {std::string(format_name(format)) + " " + name + " cut to " + std::to_string(keep),
          [=](const std::string& dir, Launch&) {
            ResultSetOptions opt;
            opt.format = format;
            opt.stations = 40;
            write_all(result_set(dir, dir + "/SPI_Stn.nc", opt));
            const std::string path = dir + "/" + name;
            const auto size = std::filesystem::file_size(path);
            std::filesystem::resize_file(path,
                                         std::min<std::uintmax_t>(size - 1, static_cast<std::uintmax_t>(keep * size)));
          },
          kError + name + ": file is truncated", "variable "};
}

// A result set whose Spell_Max is declared (never stored, netCDF-4) with
// dimensions no machine can hold, the run's address space limited to
// `address_space` bytes (0: no limit).
Failure huge(const char* what, std::size_t stations, std::size_t columns, std::uint64_t address_space,
             const char* reason) {
  return {what,
          [=](const std::string& dir, Launch& l) {
            ResultSetOptions opt;
            opt.stations = 5;
            auto files = result_set(dir, dir + "/SPI_Stn.nc", opt);
            NcLayout& layout = file_of(files, "Spell_Time_Arr_Stn.nc").layout;
            layout.dim("big_stn", stations).dim("big_col", columns);
            layout.remove("Spell_Max");
            layout.var("Spell_Max", NC_FLOAT, {"big_col", "big_stn"});
            write_all(files);
            l.address_space = address_space;
          },
          kError + "Spell_Time_Arr_Stn.nc: variable Spell_Max", reason};
}

// An output name taken by a folder with a file inside: tables are named as
// they stand, data sets with their "./" folder.
Failure folder_at(const std::string& name, const std::string& shown) {
  return {"the output name " + name + " taken by a folder",
          [=](const std::string& dir, Launch&) {
            sample::generate(dir, 6, 4);
            std::filesystem::create_directory(dir + "/" + name);
            write_file(dir + "/" + name + "/inside", "kept");
          },
          kError + "cannot replace " + shown + ": " + std::strerror(EISDIR) + "\n", "", false};
}

// The station file given as out/Sensl.txt, the name of an output in the
// output folder out: the file itself moved there, or (`link`) a symbolic
// link to it, which writing the output would replace just as well.
Failure station_at_output(bool link) {
  return {link ? "the station file named by a link at an output's name in the output folder"
               : "the station file at an output's name in the output folder",
          [=](const std::string& dir, Launch& l) {
            sample::generate(dir, 6, 4);
            std::filesystem::create_directory(dir + "/out");
            if (link) {
              std::filesystem::create_symlink("../SPI_Stn.nc", dir + "/out/Sensl.txt");
            } else {
              std::filesystem::rename(dir + "/SPI_Stn.nc", dir + "/out/Sensl.txt");
            }
            l.argv = {DX_BINARY, "-s", "out/Sensl.txt", "-o", "out"};
          },
          kError +
              "the output out/Sensl.txt would replace the input file out/Sensl.txt (the station file of -s must be "
              "the netCDF station-coordinate file, with lon, lat and reg)\n",
          "",
          true,
          false};
}

// A result set without Spell_Time_Arr_Stn.nc: reported before the first
// progress line.
Failure missing_result() {
  return {"a missing result file",
          [](const std::string& dir, Launch&) {
            sample::generate(dir, 6, 4);
            std::filesystem::remove(dir + "/Spell_Time_Arr_Stn.nc");
          },
          kError +
              "Spell_Time_Arr_Stn.nc: cannot open the file to read variable Spell_Ave: No such file or directory\n",
          "",
          true,
          false};
}

// Case `f` set up in the folder results/ and run with -C results: its
// message, which begins `err_start`, names the files in that folder, as
// the user would find them.
Failure in_folder(Failure f, const std::string& err_start) {
  f.what += ", under -C";
  f.setup = [setup = f.setup](const std::string& dir, Launch& l) {
    std::filesystem::create_directory(dir + "/results");
    setup(dir + "/results", l);
    l.argv.insert(l.argv.begin() + 1, {"-C", "results"});
  };
  f.err_start = err_start;
  return f;
}

// Every failing run ends with status 1 and one error line, the last, and
// leaves every file that was there before as it was (no temporary file
// either).
TEST(WholeRun, AFailingRunEndsWithOneErrorLineAndKeepsEveryFile) {
  std::vector<Failure> cases = {
      truncated(NcFormat::Classic, "Fre_Mag_Stn.nc", 0.5),
      truncated(NcFormat::Offset64, "Fre_Mag_Stn.nc", 0.999),
      truncated(NcFormat::Classic, "Tq_pdsi_spi_Stn.nc", 0.9),
      truncated(NcFormat::Offset64, "Num_Drou_Mon_Stn.nc", 0.1),
      truncated(NcFormat::Classic, "Prob_Tq_pdsi_spi_Stn.nc", 0.999),
      in_folder(truncated(NcFormat::Classic, "Fre_Mag_Stn.nc", 0.5),
                kError + "results/Fre_Mag_Stn.nc: file is truncated"),
      huge("beyond the 32-bit lengths", std::size_t{1} << 32, 18, 0, "more than this tool handles"),
      huge("beyond the machine's memory", 2147483647, std::size_t{1} << 20, 0, "memory"),
      folder_at("Sensl.txt", "Sensl.txt"),
      folder_at("Fre_03.dat", "./Fre_03.dat"),
      in_folder(folder_at("Fre_03.dat", ""), kError + "cannot replace results/Fre_03.dat: " + std::strerror(EISDIR)),
      {"a file-size limit (ulimit -f) below the first output",
       [](const std::string& dir, Launch& l) {
         sample::generate(dir, 23, 3);
         l.file_size = 4096;
         l.stdout_path = "/dev/null";  // the progress lines are more than that
       },
       kError + "cannot write Num_Dr_Mon.txt: " + std::strerror(EFBIG) + "\n", ""},
      {"another run writing in the folder", [](const std::string& dir, Launch&) { sample::generate(dir, 23, 3); },
       kError + "another drought-export run is writing in /", "", true, false, true},
      // A missing input is reported before the first progress line, with
      // what to do about it.
      {"a folder without result files", [](const std::string&, Launch&) {},
       kError + "Num_Drou_Mon_Stn.nc: cannot open the file to read variable N_Drou_mon: No such file or directory "
                "(none of the seven result files is there: they are read from the working directory, or from the "
                "folder of -C)\n",
       "", true, false},
      missing_result(),
      in_folder(missing_result(), kError + "results/Spell_Time_Arr_Stn.nc: cannot open the file to read variable "
                                           "Spell_Ave: No such file or directory\n"),
      station_at_output(false),
      station_at_output(true),
      in_folder(station_at_output(false),
                kError + "the output results/out/Sensl.txt would replace the input file results/out/Sensl.txt (the "
                         "station file of -s must be the netCDF station-coordinate file, with lon, lat and reg)\n"),
      {"an output folder whose outputs' paths would be too long",
       [](const std::string& dir, Launch& l) {
         sample::generate(dir, 6, 4);
         std::string deep(49, 'd');
         for (int i = 0; i < 20; ++i) deep = std::string(200, 'd') + "/" + deep;  // 4,069 characters
         std::filesystem::create_directories(dir + "/" + deep);
         l.argv.insert(l.argv.end(), {"-o", deep});
       },
       kError + "cannot create ", "/Time_Interval_Ave.txt: " + std::string(std::strerror(ENAMETOOLONG)) + "\n", true,
       false},
      {"a station file whose name holds a line feed and an escape",
       [](const std::string& dir, Launch& l) {
         sample::generate(dir, 6, 4);
         l.argv = {DX_BINARY, "-s", "no\nsuch\x1b.nc"};
       },
       kError + "no\\nsuch\\033.nc: ", "", true, false},
  };
  if (!file_exists(std::string(dx::kStationFile))) {
    cases.push_back({"no station file at the fixed path, no -s",
                     [](const std::string& dir, Launch& l) {
                       sample::generate(dir, 6, 4);
                       l.argv.resize(1);
                     },
                     kError + std::string(dx::kStationFile) +
                         ": cannot open the file to read variable lon: No such file or directory (give the station "
                         "file with -s FILE)\n",
                     "", true, false});
  }
  // A folder that can be written but not read cannot be locked: the run
  // stops rather than going on unlocked beside the run that holds it.  The
  // run is made as another user (nobody), which needs root; the folder stays
  // readable to the test itself.
  if (::geteuid() == 0 && file_exists("/usr/bin/setpriv")) {
    cases.push_back(
        {"a folder that can be written but not read, locked by another run",
         [](const std::string& dir, Launch& l) {
           sample::generate(dir, 6, 4);
           ASSERT_EQ(::chmod(dir.c_str(), 0333), 0);
           l.argv.insert(l.argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
         },
         kError + "cannot lock the output folder /", std::strerror(EACCES), true, false, true});
  } else {
    std::cout << "unreadable-folder case skipped: it needs root and setpriv to run as another user\n";
  }
#if !defined(__SANITIZE_ADDRESS__)
  // Less than the machine's memory but more than the run may take: the
  // allocation itself fails.  (The sanitizer runtime needs a huge address
  // space and turns a failed allocation into its own fatal report.)
  cases.push_back(huge("beyond the memory the run may take", std::size_t{1} << 24, 256, 2ull << 30, "memory"));
#endif
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    Launch l = tool_launch(tmp.path());
    c.setup(tmp.path(), l);
    if (c.writes_nothing) write_previous_outputs(tmp.path());
    const auto before = snapshot(tmp.path());

    int lock = -1;
    if (c.folder_locked) {
      lock = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
      ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    }
    const Outcome r = run(l);
    if (lock >= 0) ::close(lock);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.err.starts_with(c.err_start)) << r.err;
    EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    // The progress lines printed before the failure stay.
    if (c.reads) {
      EXPECT_TRUE(l.stdout_path == "/dev/null" || r.out.starts_with(kFirstProgressLine)) << r.out;
    } else {
      EXPECT_EQ(r.out, "");
    }
    const auto after = snapshot(tmp.path());
    if (c.writes_nothing) {
      EXPECT_EQ(after, before);
    }
    for (const auto& [name, content] : before) EXPECT_TRUE(after.contains(name) && after.at(name) == content) << name;
    EXPECT_TRUE(temp_files_in(tmp.path()).empty());
  }
}

// Under small limits of the address space (as `ulimit -v` sets) a run
// either succeeds, without its helper threads where they cannot be had, or
// ends with one error line; never with an abort, and never leaving a
// temporary file.
TEST(WholeRun, SmallMemoryLimitsEndWithSuccessOrOneErrorLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
  TempDir tmp;
  sample::generate(tmp.path(), 50, 5);
  int succeeded = 0, failed = 0;
  for (std::uint64_t mb = 60; mb <= 100; ++mb) {
    SCOPED_TRACE(std::to_string(mb) + " MB of address space");
    Launch l = tool_launch(tmp.path());
    l.address_space = mb << 20;
    const Outcome r = run(l);
    if (r.status == 0) {
      ++succeeded;
      EXPECT_EQ(r.err, "");
    } else if (r.status == 1) {
      ++failed;
      EXPECT_TRUE(r.err.starts_with(kError)) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    } else {
      // Too small to start at all: the dynamic loader cannot map the
      // libraries, set up their thread-local storage or its table of the
      // loaded objects (127; which of them depends on the sizes of the
      // binary and its libraries), a library of the netCDF library cannot
      // set itself up before the program starts (after which not even an
      // exception can be had), or the wrapper cannot provide the station
      // file.
      EXPECT_TRUE((r.status == 127 &&
                   (r.err.find("error while loading shared libraries") != std::string::npos ||
                    r.err.find("cannot allocate TLS data structures") != std::string::npos ||
                    r.err.find("cannot allocate memory for find-object data") != std::string::npos)) ||
                  r.err.starts_with("Error in GnuTLS initialization") || fixed_path_unavailable(r))
          << "status " << r.status << ": " << r.err;
    }
    EXPECT_TRUE(temp_files_in(tmp.path()).empty());
  }
  std::printf("[ limits   ] %d runs succeeded, %d ended with an error line\n", succeeded, failed);
  EXPECT_GT(succeeded, 0);
#endif
}

}  // namespace
}  // namespace dxtest
