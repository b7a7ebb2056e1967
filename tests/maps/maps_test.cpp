// The maps of --maps end to end: the real binary with the real GrADS on a
// generated network (the station maps open in GrADS, every panel shows its
// stations in the colours of its scale, the page loads in a browser), and
// stand-ins for GrADS that fail, or a Ctrl-C, which leave the outputs and
// the old maps/ as they were.
#include "maps/maps.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/descriptor.hpp"
#include "maps/plan.hpp"
#include "run/sample_files.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/networks.hpp"
#include "support/process.hpp"

namespace {

using dxtest::TempDir;

// ------------------------------------------------------------ end to end

constexpr int kStations = 150;
constexpr int kPictures = 71;  // 35 data sets, and 18 classes of frequency and of magnitude

#define DX_NEED_GRADS()                                                                                         \
  do {                                                                                                          \
    if (dxtest::find_on_path("grads").empty()) GTEST_SKIP() << "GrADS is not installed (Debian package grads)"; \
  } while (0)

dxtest::Outcome run_tool(const std::string& dir, const std::vector<std::string>& extra, const std::string& path = "") {
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
  std::vector<std::uint32_t> pixels;  // 0xRRGGBB, row by row from the top
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
  for (std::size_t i = 0; i + 2 < px.size(); i += 3) out.pixels.push_back(px[i] << 16 | px[i + 1] << 8 | px[i + 2]);
  return out;
}

// The colours a picture's script defines for its scale ('set rgb N R G B',
// N from 20; 16 is the grey of missing values),
// and the map area of every panel with values ('set parea X1 X2 Y1 Y2').
struct ScriptFacts {
  std::set<std::uint32_t> colours;
  std::vector<std::array<double, 4>> panels;
};
ScriptFacts script_facts(const std::string& gs) {
  ScriptFacts f;
  std::istringstream in(gs);
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line.substr(std::min<std::size_t>(line.size(), 1)));
    std::string set, what;
    w >> set >> what;
    std::uint32_t n, r, g, b;
    std::array<double, 4> a;
    if (what == "rgb" && w >> n >> r >> g >> b && n >= 20) f.colours.insert(r << 16 | g << 8 | b);
    if (what == "parea" && w >> a[0] >> a[1] >> a[2] >> a[3]) f.panels.push_back(a);
  }
  return f;
}

// Every picture of maps/: a PNG of the stated size in which every panel
// with values shows colours of its scale inside its map (where the values
// are drawn; the colour bar below holds every colour anyway).
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
    ASSERT_EQ(img.width, static_cast<unsigned>(dx::kPictureWidth));
    ASSERT_EQ(img.height, static_cast<unsigned>(dx::kPictureHeight));
    const ScriptFacts facts = script_facts(dxtest::read_file(maps + "/" + n.substr(0, n.size() - 4) + ".gs"));
    EXPECT_FALSE(facts.panels.empty());
    const double px = dx::kPictureWidth / dx::kPageWidth, py = dx::kPictureHeight / dx::kPageHeight;
    for (const auto& [x1, x2, y1, y2] : facts.panels) {
      std::size_t coloured = 0;
      for (auto y = static_cast<unsigned>((dx::kPageHeight - y2) * py); y < (dx::kPageHeight - y1) * py; ++y)
        for (auto x = static_cast<unsigned>(x1 * px); x < x2 * px; ++x)
          coloured += facts.colours.count(img.pixels[y * img.width + x]);
      EXPECT_GE(coloured, 4u) << "pixels of the scale inside the panel at " << x1 << " " << y2;
    }
  }
}

TEST(Maps, DrawsEveryDataSetAndClassWithGradsAndAPageThatLoadsInABrowser) {
  DX_NEED_GRADS();
  TempDir dir;
  dxtest::sample::generate(dir.path(), kStations, 5);
  const auto plain = run_tool(dir.path(), {});
  ASSERT_EQ(plain.status, 0) << plain.err;
  const auto before = outputs(dir.path());

  // The work folder of links of an earlier version, left by a killed run.
  std::filesystem::create_directory(dir / ".maps-work.dx-tmp");
  std::filesystem::create_symlink("../Fre_all.ctl", dir / ".maps-work.dx-tmp/Fre_all.ctl");
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
    gs += "'open " + n + "'\nsay 'OPEN " + n + " 'rc\n'set t 1'\n'set gxout stnmark'\n'd " + var + "'\nsay 'DRAW " + n +
          " 'rc\n'close 1'\n";
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
  // A copy of the page that scrolls through it in a window 1,400 pixels
  // wide (the thumbnails load as they are scrolled to), then marks each
  // picture the browser could not show, and notes how many thumbnails
  // share a row and the narrowest one's width.
  std::string check = page;
  check.insert(check.rfind("</body>"), R"(<script>
window.addEventListener('load', async () => {
  const pause = ms => new Promise(r => setTimeout(r, ms));
  for (let y = 0; y < document.documentElement.scrollHeight; y += innerHeight / 2) { scrollTo(0, y); await pause(20); }
  const settled = i => i.complete ? 0 : new Promise(r => {
    i.addEventListener('load', r); i.addEventListener('error', r); });
  await Promise.race([Promise.all([...document.images].map(settled)), pause(5000)]);
  const images = [...document.images], rows = new Map();
  for (const i of images) rows.set(i.offsetTop, (rows.get(i.offsetTop) || 0) + 1);
  document.body.setAttribute('data-per-row', Math.max(...rows.values()));
  document.body.setAttribute('data-narrowest', Math.min(...images.map(i => i.width)));
  for (const i of images) i.setAttribute('data-shown', i.complete && i.naturalWidth > 0 ? 'yes' : 'no');
});
</script>
)");
  dxtest::write_file(maps + "/check.html", check);
  TempDir profile;
  const auto b = dxtest::run({.argv = {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                       "--no-first-run", "--disable-background-networking",
                                       "--disable-component-update", "--disable-sync",
                                       "--user-data-dir=" + profile.path(), "--window-size=1400,1000",
                                       "--virtual-time-budget=20000", "--dump-dom", "file://" + maps + "/check.html"},
                              .cwd = dir.path(),
                              .timeout = 120});
  ASSERT_EQ(b.status, 0) << b.err;
  std::size_t shown = 0, broken = 0;
  for (std::size_t i = 0; (i = b.out.find("data-shown=\"", i)) != std::string::npos; ++i)
    (b.out.compare(i + 12, 3, "yes") == 0 ? shown : broken)++;
  EXPECT_EQ(shown, static_cast<std::size_t>(kPictures)) << b.out.substr(0, 2000);
  const auto body_number = [&](const std::string& attr) {
    const std::size_t i = b.out.find(" " + attr + "=\"");
    return i == std::string::npos ? -1 : std::atoi(b.out.c_str() + i + attr.size() + 3);
  };
  EXPECT_GE(body_number("data-per-row"), 3) << "thumbnails in a row";
  EXPECT_GE(body_number("data-narrowest"), 400) << "pixels, the narrowest thumbnail";
  EXPECT_EQ(broken, 0u);
}

// A folder with a stand-in `grads`, the given shell script; the PATH that
// finds it.  The tool runs it as: grads -blcx "run FOLDER/NAME.gs FOLDER".
std::string stand_in_grads(const TempDir& bin, const std::string& script) {
  dxtest::write_file(bin / "grads", "#!/bin/sh\n" + script);
  std::filesystem::permissions(bin / "grads", std::filesystem::perms::owner_all);
  return bin.path() + ":/usr/bin:/bin";
}

// Old maps/ of an earlier run, to be kept.
void old_maps(const std::string& dir) {
  std::filesystem::create_directory(dir + "/maps");
  dxtest::write_file(dir + "/maps/index.html", "old page");
}

// A failure ends the run with one line naming what failed; the outputs
// are those of a run without --maps, and the old maps/ stays.  What GrADS
// cannot do is found in GrADS' own output or in the picture's bytes, never
// taken from its word that it reached the end.
TEST(Maps, AFailureEndsTheRunNamingItAndKeepsTheOldMaps) {
  DX_NEED_GRADS();
  struct Case {
    const char* name;
    std::string grads;  // the stand-in's script; "" for the real GrADS
    std::string error;  // standard error after "drought-export: error: ", a pattern of fnmatch
    std::vector<std::string> env = {};
    std::string shell = "";    // run first in the shell that starts the tool ("ulimit -f 50")
    bool early = false;        // stops before anything is written
    bool full_disk = false;    // on a small file system that the stand-in fills
    std::string in_maps = "";  // a file of the user's in the old maps/
  };
  const std::string draws = "set -- $2\nn=$(basename \"$2\" .gs)\n";
  TempDir empty_gaddir, fonts_only;
  for (const auto& e : std::filesystem::directory_iterator("/usr/share/grads"))
    if (e.path().filename() == "udpt" || e.path().filename().string().starts_with("font"))
      std::filesystem::copy(e.path(), fonts_only / e.path().filename().string());
  const Case cases[] = {
      {"GrADS stops early", "echo 'Error: stand-in GrADS cannot draw'\nexit 0\n",
       "map maps/*.png: GrADS stopped before the end of its script: Error: stand-in GrADS cannot draw"},
      {"a command fails", "echo 'DX-FAIL d Sensl.1'\necho 'Data Request Error'\nexit 99\n",
       "map maps/*.png: 'd Sensl.1' failed: Data Request Error"},
      {"an empty picture", draws + ": > \"$3/$n.png\"\necho DX-DONE\n", "map maps/*.png: the picture is empty"},
      {"a picture cut short", draws + "printf '\\211PNG\\r\\n\\032\\n' > \"$3/$n.png\"\necho DX-DONE\n",
       "map maps/*.png: the picture is cut short after 8 bytes"},
      {"maps is a file", "exit 0\n", "cannot replace maps: Not a directory", {}, "", true},
      {"a file of the user's in maps",
       "exit 0\n",
       "cannot replace maps: it holds notes.txt, which --maps did not make; move it or remove it, and run again",
       {},
       "",
       true,
       false,
       "notes.txt"},
      {"grads cannot be run",
       "",
       "--maps needs GrADS, but */grads cannot be run (Permission denied); make it executable, or install GrADS "
       "with: apt-get install grads",
       {},
       "",
       true},
      // The real GrADS, given an installation it cannot use: its own words.
      {"GrADS without its plug-ins",
       "",
       "map maps/*.png: GrADS stopped before the end of its script (status 1): GX Package Error: Could not find a "
       "record for the printing plug-in named \"Cairo\"",
       {"GADDIR=" + empty_gaddir.path()}},
      {"GrADS without its coasts",
       "",
       "map maps/*.png: GrADS cannot read its map data set of coasts and borders (Open Error on Map Data Set: " +
           fonts_only.path() + "/*res); check the GrADS installation (GADDIR)",
       {"GADDIR=" + fonts_only.path()}},
      // A file-size limit: GrADS ends as it would from a shell, not
      // leaving cut pictures behind.
      {"a file-size limit",
       "",
       "map maps/*.png: GrADS stopped before the end of its script (ended by signal 25, File size limit exceeded)*",
       {},
       "ulimit -f 100"},
      {"a full disk",
       draws + "dd if=/dev/zero of=\"$3/$n.fill\" bs=64k 2>/dev/null\necho DX-DONE\n",
       "map maps/*.png: GrADS wrote no picture: No space left on device",
       {},
       "",
       false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir work, bin;
    std::optional<dxtest::SmallTmpfs> disk;
    if (c.full_disk) {
      disk.emplace(8 << 20);
      if (!disk->ok()) {
        std::cout << "the full-disk case skipped: " << disk->reason() << "\n";
        continue;
      }
    }
    const std::string dir = disk ? disk->path() : work.path();
    dxtest::sample::generate(dir, 20, 3);
    std::string path;
    if (c.name == std::string("grads cannot be run")) {
      dxtest::write_file(bin / "grads", "#!/bin/sh\n");  // not executable; no other grads in PATH
      path = bin.path();
    } else if (!c.grads.empty()) {
      path = stand_in_grads(bin, c.grads);
    }
    if (c.name == std::string("maps is a file")) dxtest::write_file(dir + "/maps", "a file");
    else old_maps(dir);
    if (!c.in_maps.empty()) dxtest::write_file(dir + "/maps/" + c.in_maps, "the user's");
    dxtest::Launch l = dxtest::tool_launch(dir);
    l.argv.push_back("--maps");
    if (!path.empty()) l.env.push_back("PATH=" + path);
    l.env.insert(l.env.end(), c.env.begin(), c.env.end());
    if (!c.shell.empty()) l.argv.insert(l.argv.begin(), {"/bin/sh", "-c", c.shell + " && exec \"$@\"", "sh"});
    l.timeout = 300;
    const auto r = dxtest::run(l);
    EXPECT_EQ(r.status, 1);
    const std::string pattern = "drought-export: error: " + c.error + "\n";
    EXPECT_EQ(::fnmatch(pattern.c_str(), r.err.c_str(), 0), 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
    if (c.early && c.in_maps.empty() && !std::filesystem::is_directory(dir + "/maps")) {
      EXPECT_EQ(dxtest::read_file(dir + "/maps"), "a file");
      continue;
    }
    std::vector<std::string> kept = {"index.html"};
    if (!c.in_maps.empty()) kept.push_back(c.in_maps);
    EXPECT_EQ(dxtest::list_dir(dir + "/maps"), kept);
    EXPECT_EQ(dxtest::read_file(dir + "/maps/index.html"), "old page");
    if (c.early) continue;
    // The outputs are complete: those of a run without --maps.
    const auto got = outputs(dir);
    TempDir ref;
    dxtest::sample::generate(ref.path(), 20, 3);
    ASSERT_EQ(run_tool(ref.path(), {}).status, 0);
    EXPECT_TRUE(got == outputs(ref.path()));
  }
}

// A station map an earlier run with --maps left beside a data set is
// written afresh by a run without --maps that replaces the data set (with
// the bytes --maps writes); no other map is made.
TEST(Maps, ARunWithoutMapsKeepsTheStationMapsTrue) {
  TempDir dir, ref, bin;
  dxtest::sample::generate(dir.path(), 20, 3);
  dxtest::write_file(dir / "Fre_all.dat.map", "the map of another station count");
  dxtest::sample::generate(ref.path(), 20, 3);
  // Station maps are written before the pictures, which this GrADS fails.
  ASSERT_EQ(run_tool(ref.path(), {"--maps"}, stand_in_grads(bin, "exit 1\n")).status, 1);
  const auto r = run_tool(dir.path(), {});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dxtest::read_file(dir / "Fre_all.dat.map"), dxtest::read_file(ref / "Fre_all.dat.map"));
  EXPECT_FALSE(dxtest::file_exists(dir / "Mag_all.dat.map"));
  EXPECT_EQ(r.out, run_tool(ref.path(), {}).out);
}

// A data set replaced, or removed, between the outputs and the maps: its
// station map would describe reports that are not there.
TEST(Maps, ADataSetChangedSinceTheRunWroteItIsNotMapped) {
  const struct {
    const char* dat;  // the data file found, or nullptr for none
    const char* error;
  } cases[] = {
      {"shorter",
       "cannot build the station map out/Num_Dr_Mon.dat.map: out/Num_Dr_Mon.dat is no longer the data set this run "
       "wrote (7 bytes, not 120)"},
      {nullptr, "cannot build the station map out/Num_Dr_Mon.dat.map: out/Num_Dr_Mon.dat: No such file or directory"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const dx::Store st = dxtest::network({{100, 10}});
    std::vector<dx::WrittenDataSet> written = dxtest::written(st);
    written.front().data_bytes = 120;
    if (c.dat != nullptr) dxtest::write_file(dir / "Num_Dr_Mon.dat", c.dat);
    const dx::Descriptor fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    const std::string msg = dxtest::error_of([&] {
      dx::draw_maps(st, written, dx::system_file_ops(), fd.get(), "out", {"/bin/false"}, dx::MapStyle::Auto);
    });
    EXPECT_EQ(msg, c.error);
    EXPECT_EQ(dxtest::list_dir(dir.path()).size(), c.dat != nullptr ? 1u : 0u);
  }
}

// The region of a picture's maps: the numbers of its first 'set lon'.
std::pair<double, double> lon_window(const std::string& gs) {
  std::pair<double, double> w{0, 0};
  const std::size_t at = gs.find("'set lon ");
  if (at != std::string::npos) std::istringstream(gs.substr(at + 9, 40)) >> w.first >> w.second;
  return w;
}

// `n` stations on a line from (lon0, lat0) to (lon1, lat1), longitudes
// written in -180..180.
std::vector<std::pair<float, float>> line(int n, float lon0, float lat0, float lon1, float lat1) {
  std::vector<std::pair<float, float>> v;
  for (int i = 0; i < n; ++i) {
    float lon = lon0 + (lon1 - lon0) * static_cast<float>(i) / static_cast<float>(n - 1);
    if (lon > 180) lon -= 360;
    v.emplace_back(lon, lat0 + (lat1 - lat0) * static_cast<float>(i % 7) / 6.0f);
  }
  return v;
}

// Networks unlike the sample, drawn with the real GrADS: every picture with
// its stations inside its panels, one region in the right projection, the
// stations without a position reported once; none with a position: one
// error line after complete outputs.
TEST(Maps, NetworksAnywhereOnEarthAreDrawnAsOneRegion) {
  DX_NEED_GRADS();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<std::pair<float, float>> positions;
    std::string projection;
    double lon1, lon2;  // the window of longitudes must lie within
    std::string err;    // standard error besides the progress lines
  };
  std::vector<std::pair<float, float>> dutch = line(29, 3.5f, 50.8f, 7.1f, 53.4f);
  dutch.emplace_back(400.0f, 52.0f);
  std::vector<std::pair<float, float>> north = line(29, -170, 62, 175, 88);
  north.emplace_back(0.0f, 90.0f);
  std::vector<std::pair<float, float>> south = line(29, -170, -88, 175, -65);
  south.emplace_back(0.0f, -90.0f);
  const std::vector<Case> cases = {
      {"across the date line", line(30, 172, -22, 188, -13), "scaled", 170, 190, ""},
      {"far north, a station at the pole", north, "nps", -360, 360, ""},
      {"far south, a station at the pole", south, "sps", -360, 360, ""},
      {"one impossible position", dutch, "scaled", 2, 9,
       "drought-export: warning: 1 station has no usable position (longitude and latitude finite, within -180..360 "
       "and -90..90); it is left off the maps\n"},
      {"one station", {{105.0f, 15.0f}}, "scaled", 104, 106, ""},
      {"all at one point", std::vector<std::pair<float, float>>(8, {105.0f, 15.0f}), "scaled", 104, 106, ""},
      {"no usable position", std::vector<std::pair<float, float>>(5, {nan, 15.0f}), "", 0, 0,
       "drought-export: error: no maps: no station has a usable position; the outputs are complete\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dxtest::sample::generate(dir.path(), static_cast<int>(c.positions.size()), 2);
    dxtest::write_stations(dir / "SPI_Stn.nc", c.positions);
    const auto r = run_tool(dir.path(), {"--maps"});
    std::string err;  // without the progress lines
    for (const std::string& l : dxtest::lines_of(r.err))
      if (!l.starts_with("maps: ")) err += l + "\n";
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(outputs(dir.path()).size(), 81u);
    if (c.projection.empty()) {
      EXPECT_EQ(r.status, 1);
      EXPECT_FALSE(dxtest::file_exists(dir / "maps"));
      continue;
    }
    ASSERT_EQ(r.status, 0);
    expect_pictures(dir / "maps");
    const std::string gs = dxtest::read_file(dir / "maps/Fre_all.gs");
    EXPECT_NE(gs.find("'set mproj " + c.projection + "'"), std::string::npos);
    const auto [lon1, lon2] = lon_window(gs);
    EXPECT_TRUE(c.lon1 <= lon1 && lon1 < lon2 && lon2 <= c.lon2) << lon1 << " " << lon2;
  }
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
