// The maps of --maps: the colour scales on their own, and the real binary
// with the real GrADS on a generated network: the station maps open in
// GrADS, the pictures are real pictures, the page loads in a browser, and
// a GrADS that fails or a Ctrl-C leaves the outputs and the old maps/ as
// they were.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "maps/pictures.hpp"
#include "maps/scale.hpp"
#include "run/sample_files.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace {

using dx::ScaleKind;
using dxtest::TempDir;

TEST(Maps, ScalesFitTheStatisticAndLeaveOffWhatGradsCannotDraw) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    ScaleKind kind;
    std::vector<float> values;
    std::vector<double> levels;
    std::string low, high;
    std::size_t left_off;
  };
  const std::vector<Case> cases = {
      // Frequencies 0.4 .. 38.9: steps of 5 from 0 to 40; NaN, both
      // infinities and GrADS' missing value are not part of the range.
      {ScaleKind::Sequential, {0.4f, 12.0f, nan, 38.9f, inf, -inf, -9999.0f}, {5, 10, 15, 20, 25, 30, 35}, "0",
       "40", 4},
      // One value only: a scale around it, not a division by zero.
      {ScaleKind::Sequential, {7.0f, 7.0f}, {6.4, 6.6, 6.8, 7, 7.2, 7.4, 7.6}, "6.2", "7.8", 0},
      // Slopes: centred on 0 however lopsided the values.
      {ScaleKind::Diverging, {-0.01f, 0.047f}, {-0.04, -0.03, -0.02, -0.01, 0, 0.01, 0.02, 0.03, 0.04}, "-0.05",
       "0.05", 0},
      {ScaleKind::PValue, {0.3f, nan}, {0.01, 0.05, 0.1}, "0", "1", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.values));
    dx::ValueRange r;
    r.add(c.values);
    const dx::Scale s = dx::make_scale(c.kind, r);
    ASSERT_EQ(s.levels.size(), c.levels.size());
    for (std::size_t i = 0; i < c.levels.size(); ++i) EXPECT_NEAR(s.levels[i], c.levels[i], 1e-9) << i;
    EXPECT_EQ(s.colours.size(), s.levels.size() + 1);
    EXPECT_EQ(s.labels.size(), s.levels.size());
    EXPECT_EQ(s.low, c.low);
    EXPECT_EQ(s.high, c.high);
    EXPECT_EQ(r.left_off, c.left_off);
  }
}

// GrADS draws a panel whose stations all hold one value in a colour of its
// own, whatever the levels: the script names the colour of the value's class.
TEST(Maps, APanelOfOneValueIsDrawnInTheColourOfItsClass) {
  dx::Picture p;
  p.name = "One";
  p.title = "One value";
  p.sets.push_back({"One", "one", ""});
  p.panels.push_back({"only", 0, 1, true, 7.0, 7.0});
  p.range.add(std::vector<float>{7.0f});
  dx::MapFrame f;
  f.lon1 = 100, f.lon2 = 101, f.lat1 = 10, f.lat2 = 11, f.stations = 1;
  // Levels 6.4 6.6 6.8 7 7.2 ...: 7 lies in the fifth class, colour 24.
  const std::string gs = dx::picture_script(p, f);
  EXPECT_NE(gs.find("'set ccolor 24'\n"), std::string::npos) << gs;
  EXPECT_NE(gs.find("every value 7'"), std::string::npos) << gs;
}

// ------------------------------------------------------------ end to end

constexpr int kStations = 150;
constexpr int kPictures = 71;  // 35 data sets, and 18 classes of frequency and of magnitude

#define DX_NEED_GRADS()                                                                       \
  do {                                                                                        \
    if (dxtest::find_on_path("grads").empty() || dxtest::find_on_path("stnmap").empty())                                \
      GTEST_SKIP() << "GrADS is not installed (Debian package grads)";                       \
  } while (0)

dxtest::Outcome run_tool(const std::string& dir, const std::vector<std::string>& extra,
                         const std::string& path = "") {
  dxtest::Launch l = dxtest::tool_launch(dir);
  l.argv.insert(l.argv.end(), extra.begin(), extra.end());
  if (!path.empty()) l.env.push_back("PATH=" + path);
  l.timeout = 300;
  return dxtest::run(l);
}

// The 81 outputs of `dir` (no station maps, nothing of maps/).
std::map<std::string, std::string> outputs(const std::string& dir) {
  auto files = dxtest::snapshot(dir);
  std::erase_if(files, [](const auto& e) {
    return e.first.ends_with(".nc") || e.first.ends_with(".map") || e.first.starts_with("maps/");
  });
  return files;
}

// Hidden work folders and temporary files of the tool in `dir`.
std::vector<std::string> leftovers(const std::string& dir) {
  std::vector<std::string> left;
  for (const std::string& n : dxtest::list_dir(dir))
    if (n.front() == '.' || n.find(".dx-tmp") != std::string::npos) left.push_back(n);
  return left;
}

struct Image {
  unsigned width = 0, height = 0;
  std::set<std::uint32_t> colours;  // 0xRRGGBB
};
Image read_png(const std::string& path) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  Image out;
  if (!png_image_begin_read_from_file(&img, path.c_str())) return out;
  img.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> px(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) return out;
  out.width = img.width;
  out.height = img.height;
  for (std::size_t i = 0; i + 2 < px.size(); i += 3) out.colours.insert(px[i] << 16 | px[i + 1] << 8 | px[i + 2]);
  return out;
}

// The colours a picture's script defines for its scale ('set rgb N R G B').
std::set<std::uint32_t> scale_colours(const std::string& gs) {
  std::set<std::uint32_t> c;
  for (std::size_t i = 0; (i = gs.find("'set rgb ", i)) != std::string::npos; ++i) {
    std::istringstream in(gs.substr(i + 9, 20));
    std::uint32_t n, r, g, b;
    if (in >> n >> r >> g >> b) c.insert(r << 16 | g << 8 | b);
  }
  return c;
}

// Every picture of maps/: a PNG of the stated size whose pixels hold at
// least two colours of its scale.
void expect_pictures(const std::string& maps) {
  std::vector<std::string> pngs;
  for (const std::string& n : dxtest::list_dir(maps))
    if (n.ends_with(".png")) pngs.push_back(n);
  ASSERT_EQ(pngs.size(), static_cast<std::size_t>(kPictures));
  for (const char* n : {"Fre_all.png", "Prob1.png", "Mag_12.png", "Fre_pdsi_mod.png", "Mag_spi12_ext.png"})
    EXPECT_TRUE(dxtest::file_exists(maps + "/" + std::string(n))) << n;
  for (const std::string& n : pngs) {
    SCOPED_TRACE(n);
    const Image img = read_png(maps + "/" + n);
    EXPECT_EQ(img.width, 1600u);
    EXPECT_EQ(img.height, 1236u);
    const auto scale = scale_colours(dxtest::read_file(maps + "/" + n.substr(0, n.size() - 4) + ".gs"));
    std::size_t shown = 0;
    for (const auto c : scale) shown += img.colours.count(c);
    EXPECT_GE(shown, 2u) << "colours of the scale in the picture";
  }
}

TEST(Maps, DrawsEveryDataSetAndClassWithGradsAndAPageThatLoadsInABrowser) {
  DX_NEED_GRADS();
  TempDir dir;
  dxtest::sample::generate(dir.path(), kStations, 5);
  const auto plain = run_tool(dir.path(), {});
  ASSERT_EQ(plain.status, 0) << plain.err;
  const auto before = outputs(dir.path());

  const auto r = run_tool(dir.path(), {"--maps"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, plain.out);  // standard output as without --maps
  EXPECT_TRUE(outputs(dir.path()) == before);
  // Not a terminal: one progress line per picture.
  EXPECT_TRUE(r.err.starts_with("maps: 1/71\nmaps: 2/71\n") && r.err.ends_with("maps: 71/71\n")) << r.err;
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});

  const std::string maps = dir / "maps";
  expect_pictures(maps);

  // Every station map lets GrADS open its data set and draw its first step.
  std::string gs;
  int sets = 0;
  for (const std::string& n : dxtest::list_dir(dir.path())) {
    if (!n.ends_with(".ctl")) continue;
    ++sets;
    EXPECT_TRUE(dxtest::file_exists(dir / (n.substr(0, n.size() - 4) + ".dat.map"))) << n;
    // The variable: the first word of the descriptor's eighth line.
    std::istringstream ctl(dxtest::read_file(dir / n));
    std::string line, var;
    for (int i = 0; i < 8; ++i) std::getline(ctl, line);
    std::istringstream(line) >> var;
    gs += "'open " + n + "'\nsay 'OPEN " + n + " 'rc\n'set t 1'\n'set gxout stnmark'\n'd " + var +
          "'\nsay 'DRAW " + n + " 'rc\n'close 1'\n";
  }
  EXPECT_EQ(sets, 35);
  dxtest::write_file(dir / "check.gs", gs + "'quit'\n");
  const auto g = dxtest::run({.argv = {dxtest::find_on_path("grads"), "-blc", "run check.gs"}, .cwd = dir.path()});
  int ok = 0;
  std::istringstream lines(g.out);
  for (std::string l; std::getline(lines, l);) {
    if (!l.starts_with("OPEN ") && !l.starts_with("DRAW ")) continue;
    EXPECT_TRUE(l.ends_with(" 0")) << l << "\n" << g.out;
    ok += l.ends_with(" 0");
  }
  EXPECT_EQ(ok, 2 * 35) << g.out;

  // The page: every link leads to a file; in a browser every picture loads.
  const std::string page = dxtest::read_file(maps + "/index.html");
  int links = 0;
  for (const std::string attr : {" href=\"", " src=\""}) {
    for (std::size_t i = 0; (i = page.find(attr, i)) != std::string::npos;) {
      i += attr.size();
      const std::string target = page.substr(i, page.find('"', i) - i);
      if (target.starts_with("#")) continue;
      EXPECT_TRUE(dxtest::file_exists(maps + "/" + target)) << target;
      ++links;
    }
  }
  EXPECT_GT(links, 3 * kPictures);
  EXPECT_EQ(page.find("http"), std::string::npos) << "nothing from elsewhere";

  const std::string chromium = dxtest::find_on_path("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed: the page was not opened in a browser";
  // A copy of the page that marks, once everything is loaded, each picture
  // the browser could not show.
  std::string check = page;
  check.insert(check.rfind("</body>"),
               "<script>window.addEventListener('load', () => { for (const i of document.images) "
               "i.setAttribute('data-shown', i.complete && i.naturalWidth > 0 ? 'yes' : 'no'); });</script>\n");
  dxtest::write_file(maps + "/check.html", check);
  TempDir profile;
  const auto b = dxtest::run({.argv = {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                       "--no-first-run", "--disable-background-networking",
                                       "--disable-component-update", "--disable-sync",
                                       "--user-data-dir=" + profile.path(), "--virtual-time-budget=10000",
                                       "--dump-dom", "file://" + maps + "/check.html"},
                              .cwd = dir.path(),
                              .timeout = 120});
  ASSERT_EQ(b.status, 0) << b.err;
  std::size_t shown = 0, broken = 0;
  for (std::size_t i = 0; (i = b.out.find("data-shown=\"", i)) != std::string::npos; ++i)
    (b.out.compare(i + 12, 3, "yes") == 0 ? shown : broken)++;
  EXPECT_EQ(shown, static_cast<std::size_t>(kPictures)) << b.out.substr(0, 2000);
  EXPECT_EQ(broken, 0u);
}

// A folder of stand-ins: `grads` the given shell script, `stnmap` the real one.
std::string stand_in_grads(const TempDir& bin, const std::string& script) {
  dxtest::write_file(bin / "grads", "#!/bin/sh\n" + script);
  std::filesystem::permissions(bin / "grads", std::filesystem::perms::owner_all);
  std::filesystem::create_symlink(dxtest::find_on_path("stnmap"), bin / "stnmap");
  return bin.path() + ":/usr/bin:/bin";
}

// Old maps/ of an earlier run, to be kept.
void old_maps(const std::string& dir) {
  std::filesystem::create_directory(dir + "/maps");
  dxtest::write_file(dir + "/maps/index.html", "old page");
}

TEST(Maps, AGradsThatFailsEndsTheRunNamingThePictureAndKeepsTheOldMaps) {
  DX_NEED_GRADS();
  TempDir dir, bin;
  dxtest::sample::generate(dir.path(), 20, 3);
  const std::string path = stand_in_grads(bin, "echo 'Error: stand-in GrADS cannot draw'\nexit 0\n");
  old_maps(dir.path());
  const auto r = run_tool(dir.path(), {"--maps"}, path);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("drought-export: error: map maps/") &&
              r.err.ends_with(".png: GrADS stopped before the end of its script: "
                              "Error: stand-in GrADS cannot draw\n") &&
              r.err.find('\n') == r.err.size() - 1)
      << r.err;
  // The outputs are complete: those of a run without --maps.
  const auto got = outputs(dir.path());
  TempDir ref;
  dxtest::sample::generate(ref.path(), 20, 3);
  ASSERT_EQ(run_tool(ref.path(), {}).status, 0);
  EXPECT_TRUE(got == outputs(ref.path()));
  EXPECT_EQ(dxtest::list_dir(dir / "maps"), std::vector<std::string>{"index.html"});
  EXPECT_EQ(dxtest::read_file(dir / "maps/index.html"), "old page");
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// The gridded drawings, asked for on a network small enough for marks:
// every picture drawn, and the page says how.
TEST(Maps, EveryGriddedStyleDrawsEveryPicture) {
  DX_NEED_GRADS();
  const struct {
    const char* style;
    const char* words;
  } cases[] = {
      {"boxes", "box averages of the stations on a "},
      {"cressman", "a Cressman analysis of the stations on a "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.style);
    TempDir dir;
    dxtest::sample::generate(dir.path(), 60, 4);
    const auto r = run_tool(dir.path(), {std::string("--maps-style=") + c.style});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_pictures(dir / "maps");
    const std::string page = dxtest::read_file(dir / "maps/index.html");
    EXPECT_NE(page.find(c.words), std::string::npos) << page.substr(0, 2000);
    EXPECT_NE(page.find(std::string("(--maps-style=") + c.style + ")"), std::string::npos);
  }
}

// The output folder renamed once GrADS draws: every file of the maps step
// goes on in the folder, under its new name.
TEST(Maps, AnOutputFolderRenamedWhileGradsDrawsTakesTheMapsWithIt) {
  DX_NEED_GRADS();
  TempDir dir, bin;
  dxtest::sample::generate(dir.path(), 20, 3);
  const std::string path = stand_in_grads(bin, "mv '" + dir / "out' '" + dir / "moved' 2>/dev/null\nexec " +
                                                    dxtest::find_on_path("grads") + " \"$@\"\n");
  const auto r = run_tool(dir.path(), {"--maps", "-o", "out"}, path);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(dxtest::file_exists(dir / "out"));
  std::size_t maps = 0, pngs = 0;
  for (const std::string& n : dxtest::list_dir(dir / "moved")) maps += n.ends_with(".dat.map");
  for (const std::string& n : dxtest::list_dir(dir / "moved/maps")) pngs += n.ends_with(".png");
  EXPECT_EQ(maps, 35u);
  EXPECT_EQ(pngs, static_cast<std::size_t>(kPictures));
  // The page names the folder by its new name.
  EXPECT_NE(dxtest::read_file(dir / "moved/maps/index.html").find("<code>" + dir / "moved</code>"), std::string::npos);
  EXPECT_EQ(leftovers(dir / "moved"), std::vector<std::string>{});
}

TEST(Maps, CtrlCWhileGradsDrawsLeavesNoWorkFolderAndTheOldMaps) {
  DX_NEED_GRADS();
  TempDir dir, bin;
  dxtest::sample::generate(dir.path(), 20, 3);
  const std::string path = stand_in_grads(bin, "sleep 60\n");
  old_maps(dir.path());
  dxtest::Launch l = dxtest::tool_launch(dir.path());
  l.argv.push_back("--maps");
  l.env.push_back("PATH=" + path);
  dxtest::Child c(l);
  // Until GrADS draws.
  const double end = dxtest::now_seconds() + 60;
  while (c.find("grads") == 0 && !c.done() && dxtest::now_seconds() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(c.find("grads"), 0) << "GrADS never started";
  ASSERT_EQ(::kill(c.pid(), SIGINT), 0);
  const auto r = c.wait();
  EXPECT_EQ(r.signal, SIGINT) << r.err;
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
  EXPECT_EQ(dxtest::list_dir(dir / "maps"), std::vector<std::string>{"index.html"});
  EXPECT_EQ(dxtest::read_file(dir / "maps/index.html"), "old page");
}

}  // namespace
