// The command line: the parser on its own, and the real binary run with
// options on generated inputs (the station file given with -s, so no
// wrapper is needed).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "run/options.hpp"
#include "support/nc_fixture.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace {

using dx::Options;
using dxtest::TempDir;
using Files = std::map<std::string, std::string>;

Options with(std::string station, std::string dir, std::string out, Options::Action a = Options::Action::Run) {
  Options o;
  o.action = a;
  if (!station.empty()) o.station_file = station;
  o.directory = dir;
  o.output_dir = out;
  return o;
}

TEST(Options, ParsesTheCommandLine) {
  using A = Options::Action;
  struct Case {
    std::vector<std::string> args;
    Options want;       // when `error` is empty
    std::string error;  // else the usage error
  };
  const std::vector<Case> cases = {
      {{}, Options{}, ""},
      {{"-s", "st.nc", "-C", "d", "-o", "out"}, with("st.nc", "d", "out"), ""},
      {{"--station-file=st.nc", "--directory", "d", "--output-dir=out"}, with("st.nc", "d", "out"), ""},
      {{"-sst.nc", "--out", "o", "--dir=d", "-s", "last.nc"}, with("last.nc", "d", "o"), ""},
      {{"-V", "-h"}, with("", "", "", A::Help), ""},
      {{"--version"}, with("", "", "", A::Version), ""},
      {{"--maps"},
       [] {
         Options o;
         o.maps = true;
         return o;
       }(),
       ""},
      {{"--maps=yes"}, {}, "option '--maps' takes no value"},
      {{"--maps-style=cressman"},
       [] {
         Options o;
         o.maps = true;
         o.map_style = dx::MapStyle::Cressman;
         return o;
       }(),
       ""},
      {{"--maps-style", "fancy"}, {}, "option '--maps-style' takes auto, marks, boxes or cressman, not 'fancy'"},
      {{"--bogus"}, {}, "unknown option '--bogus'"},
      // An abbreviation of one option is that option; of several, an error.
      {{"--maps-s=boxes"},
       [] {
         Options o;
         o.maps = true;
         o.map_style = dx::MapStyle::Boxes;
         return o;
       }(),
       ""},
      {{"--ma"}, {}, "option '--ma' is ambiguous; possibilities: '--maps' '--maps-style'"},
      {{"--map=marks"}, {}, "option '--map' is ambiguous; possibilities: '--maps' '--maps-style'"},
      {{"-h", "-x"}, {}, "unknown option '-x'"},
      {{"-o", "o", "-s"}, {}, "option '-s' needs a value"},
      {{"--output-dir"}, {}, "option '--output-dir' needs a value"},
      {{"--directory="}, {}, "option '--directory' has an empty value"},
      {{"-o", ""}, {}, "option '-o' has an empty value"},
      {{"--help=x"}, {}, "option '--help' takes no value"},
      {{"results", "-s", "st.nc"}, {}, "unexpected argument 'results'"},
      {{"--", "-s", "st.nc"}, {}, "unexpected argument '-s'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"drought-export"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto got = dx::parse_options(static_cast<int>(args.size()), argv.data());
    SCOPED_TRACE(testing::PrintToString(c.args));
    if (c.error.empty()) {
      ASSERT_TRUE(std::holds_alternative<Options>(got)) << std::get<dx::UsageError>(got).message;
      EXPECT_TRUE(std::get<Options>(got) == c.want);
    } else {
      ASSERT_TRUE(std::holds_alternative<dx::UsageError>(got));
      EXPECT_EQ(std::get<dx::UsageError>(got).message, c.error);
    }
  }
}

// The files of `dir` other than the netCDF inputs.
Files outputs_in(const std::string& dir) {
  Files f = dxtest::snapshot(dir);
  std::erase_if(f, [](const auto& e) { return e.first.ends_with(".nc"); });
  return f;
}

// The result files and SPI_Stn.nc in `dir`.
void write_inputs(const std::string& dir) {
  std::filesystem::create_directories(dir);
  dxtest::write_all(dxtest::result_set(dir, dir + "/SPI_Stn.nc"));
}

// drought-export with `args`, run in `cwd` under the sanitizer environment
// (and with the PATH `path`, if given).
dxtest::Outcome run_with(const std::vector<std::string>& args, const std::string& cwd, const std::string& path = "") {
  dxtest::Launch l;
  l.argv = {DX_BINARY};
  l.argv.insert(l.argv.end(), args.begin(), args.end());
  l.cwd = cwd;
  l.env = dxtest::sanitizer_env();
  if (!path.empty()) l.env.push_back("PATH=" + path);
  l.timeout = 120;
  return dxtest::run(l);
}

TEST(Options, OutputsGoWhereAskedWithTheBytesOfARunInTheWorkingFolder) {
  TempDir ref;
  write_inputs(ref.path());
  const auto want = run_with({"-s", "SPI_Stn.nc"}, ref.path());
  ASSERT_EQ(want.status, 0) << want.err;
  EXPECT_NE(want.out.find("Reading netCDF file: SPI_Stn.nc...\n"), std::string::npos);
  const Files want_files = outputs_in(ref.path());
  ASSERT_EQ(want_files.size(), 81u);

  // The example of the README and the manual page, as written there (on
  // the demo's network, in demo/): a command line of its own in each.
  const std::vector<std::string> example = {"-C", "demo", "-s", "SPI_Stn.nc", "-o", "tables"};
  std::string readme = dxtest::read_file(std::string(DX_SOURCE_DIR) + "/README.md");
  std::string man = dxtest::read_file(std::string(DX_SOURCE_DIR) + "/man/drought-export.1");
  for (std::size_t i; (i = man.find("\\-")) != std::string::npos;) man.erase(i, 1);  // roff's "\-" is "-"
  std::string command = "drought-export";
  for (const std::string& a : example) command += " " + a;
  EXPECT_NE(readme.find("\n" + command + " "), std::string::npos) << command;
  EXPECT_NE(man.find("\n" + command + "\n"), std::string::npos) << command;

  // In a folder holding the inputs (in results/, or demo/) and, unless the
  // run is to make it, maps/ (empty).
  struct Case {
    std::string cwd;
    std::vector<std::string> args;
    std::string outputs;                 // the folder the outputs go to
    bool made = false;                   // the run makes the output folder (and its parents)
    std::string station = "SPI_Stn.nc";  // the name the station file has in results/
    std::string inputs = "results";      // the folder of the inputs
  };
  const std::vector<Case> cases = {
      {"results", {"--station-file", "SPI_Stn.nc"}, "results"},
      {".", {"-C", "results", "--station-file=SPI_Stn.nc"}, "results"},
      {"results", {"-s", "SPI_Stn.nc", "--output-dir=../maps"}, "maps"},
      {".", example, "demo/tables", true, "SPI_Stn.nc", "demo"},
      {"results", {"-s", "SPI_Stn.nc", "-o", "../maps/2024/dry/"}, "maps/2024/dry", true},
      // A leading blank is part of the name (the netCDF library would drop it).
      {"results", {"-s", " SPI_Stn.nc", "-o", "../maps"}, "maps", false, " SPI_Stn.nc"},
  };
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    TempDir top;
    write_inputs(top / c.inputs);
    std::filesystem::rename(top / c.inputs + "/SPI_Stn.nc", top / c.inputs + "/" + c.station);
    if (!c.made) std::filesystem::create_directory(top / "maps");
    const auto r = run_with(c.args, top / c.cwd);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string out = want.out;  // the progress lines name the station file as given
    for (std::size_t i = 0; (i = out.find("SPI_Stn.nc", i)) != std::string::npos; i += c.station.size())
      out.replace(i, 10, c.station);
    EXPECT_EQ(r.out, out);
    EXPECT_TRUE(outputs_in(top / c.outputs) == want_files);
    // Nothing elsewhere: beside the inputs (but in the output folder among
    // them), or in maps/ when the outputs go beside the inputs.
    const std::string other = c.outputs == c.inputs ? "maps" : c.inputs;
    Files elsewhere = outputs_in(top / other);
    std::erase_if(elsewhere, [&](const auto& e) { return (other + "/" + e.first).starts_with(c.outputs + "/"); });
    EXPECT_TRUE(elsewhere.empty()) << other;
    if (c.made) {
      // Made as mkdir -p makes them: every new folder 0777 less the umask.
      for (std::filesystem::path d = c.outputs; !d.empty() && d != c.inputs; d = d.parent_path()) {
        struct stat sb {};
        ASSERT_EQ(::stat((top / d.string()).c_str(), &sb), 0) << d;
        EXPECT_EQ(sb.st_mode & 07777, 0777 & ~mask) << d;
      }
    }
  }
}

TEST(Options, RefusalsHelpAndVersionReadAndWriteNothing) {
  const std::string hint = "Try 'drought-export --help' for more information.\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out;        // the start of standard output, which is empty on failure
    std::string path = "";  // PATH of the run, if not the test's own
  };
  const std::vector<Case> cases = {
      {{"-s", "SPI_Stn.nc", "--bogus"}, 2, "drought-export: error: unknown option '--bogus'\n" + hint, ""},
      {{"-s", "SPI_Stn.nc", "-o"}, 2, "drought-export: error: option '-o' needs a value\n" + hint, ""},
      {{"-s", "SPI_Stn.nc", "stray"}, 2, "drought-export: error: unexpected argument 'stray'\n" + hint, ""},
      {{"-s", "SPI_Stn.nc", "--output-dir", "Fre_Mag_Stn.nc/maps"},
       1,
       "drought-export: error: cannot create the output folder Fre_Mag_Stn.nc/maps: Not a directory\n",
       ""},
      {{"-s", "SPI_Stn.nc", "-o", "Fre_Mag_Stn.nc"},
       1,
       "drought-export: error: output folder Fre_Mag_Stn.nc: Not a directory\n",
       ""},
      {{"-C", "nowhere", "-s", "SPI_Stn.nc"},
       1,
       "drought-export: error: cannot change to the folder nowhere: No such file or directory\n",
       ""},
      // A relative path under -C is named as seen from where the tool started.
      {{"-C", ".", "-s", "results/SPI_Stn.nc"},
       1,
       "drought-export: error: ./results/SPI_Stn.nc: cannot open the file to read variable lon: No such file or "
       "directory\n",
       ""},
      {{"-s", "SPI_Stn.nc", "--maps"},
       1,
       "drought-export: error: --maps needs GrADS, but grads is not in PATH; install it with: "
       "apt-get install grads\n",
       "",
       "/nowhere"},
      {{"-s", "SPI_Stn.nc", "--help"}, 0, "", "Usage: drought-export [OPTION]...\n"},
      {{"-s", "SPI_Stn.nc", "-V"}, 0, "", "drought-export "},
  };
  TempDir dir;
  write_inputs(dir.path());
  const Files before = dxtest::snapshot(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto r = run_with(c.args, dir.path(), c.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(r.out.starts_with(c.out) && r.out.empty() == (c.status != 0)) << r.out;
    EXPECT_TRUE(dxtest::snapshot(dir.path()) == before);
  }
}

const std::string kManPage = std::string(DX_SOURCE_DIR) + "/man/drought-export.1";

TEST(Options, TheManualPageDescribesEveryOptionOfTheHelp) {
  TempDir dir;
  const auto help = run_with({"--help"}, dir.path());
  ASSERT_EQ(help.status, 0);
  std::string man = dxtest::read_file(kManPage);
  for (std::size_t i; (i = man.find("\\-")) != std::string::npos;) man.erase(i, 1);  // roff's "\-" is "-"
  std::set<std::string> listed;
  for (std::size_t i = 0; (i = help.out.find("--", i)) != std::string::npos;) {
    const std::size_t end = help.out.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", i + 2);
    listed.insert(help.out.substr(i, end - i));
    i = end;
  }
  EXPECT_EQ(listed.size(), 7u);
  for (const auto& o : listed) EXPECT_NE(man.find(o), std::string::npos) << o;
  // The help says how to read the manual in the source folder too, before
  // it is installed.
  EXPECT_NE(help.out.find("man -l man/drought-export.1"), std::string::npos) << help.out;
}

TEST(Options, TheManualPageRendersWithoutWarnings) {
  if (!dxtest::file_exists("/usr/bin/groff")) GTEST_SKIP() << "groff is not installed";
  TempDir dir;
  dxtest::Launch l;
  l.argv = {"/usr/bin/groff", "-man", "-ww", "-z", kManPage};
  l.cwd = dir.path();
  const auto r = dxtest::run(l);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
