#include "maps/explorer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/descriptor.hpp"
#include "base/error.hpp"
#include "base/fields.hpp"
#include "base/text.hpp"
#include "maps/coasts.hpp"
#include "output/catalogue.hpp"
#include "output/sink.hpp"
#include "output/text_table.hpp"
#include "run/run.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/networks.hpp"
#include "support/process.hpp"

namespace dx {
namespace {

using dxtest::TempDir;
using Positions = std::vector<std::pair<float, float>>;

// A network at `positions` whose values are of every kind the tables
// print: whole numbers (equal values for the lists to order), fractions,
// ties at the third decimal (k/16), negative values that print as -0.000,
// values too wide for a field, and missing ones (GrADS' missing value,
// NaN, infinities).  Region codes that truncate, and one too wide.
Store varied_network(const Positions& positions, int periods) {
  Store st = dxtest::network(positions, periods);
  const std::size_t n = positions.size();
  std::uint64_t seed = 12345;
  const auto next = [&seed] { return (seed = seed * 6364136223846793005u + 1442695040888963407u) >> 33; };
  const auto value = [&]() -> float {
    const auto r = next() % 100;
    if (r < 5) return kMissingValue;
    if (r == 5) return std::numeric_limits<float>::quiet_NaN();
    if (r == 6) return std::numeric_limits<float>::infinity();
    if (r == 7) return -std::numeric_limits<float>::infinity();
    if (r < 10) return 1.5e9f;  // equal highest values
    if (r == 10) return -0.0004f;
    if (r == 11) return -60.0f;  // equal lowest values
    if (r < 15) return static_cast<float>(2 * (next() % 40) + 1) / 16.0f;
    if (r < 30) return static_cast<float>(next() % 20);
    return static_cast<float>(next() % 200000) / 1000.0f - 50.0f + static_cast<float>(next() % 1000) * 1e-7f;
  };
  for (const Statistic& s : kStatistics) {
    Array2& a = st.*s.values;
    for (std::size_t i = 0; i < a.extent(0) * a.extent(1); ++i) a.data()[i] = value();
  }
  for (const PeriodStatistic& s : kPeriodStatistics) {
    Array3& a = st.*s.values;
    for (std::size_t i = 0; i < a.extent(0) * a.extent(1) * a.extent(2); ++i) a.data()[i] = value();
  }
  st.REG.allocate({n});
  for (std::size_t s = 0; s < n; ++s)
    st.REG(s) = s == 4 ? 12345.0f : s % 7 == 3 ? 2.999f : s % 11 == 5 ? -0.5f : static_cast<float>(s % 60 + 1);
  for (std::size_t s = 0; s < n; ++s) st.STATION.push_back(pad_to("Station_" + std::to_string(s + 1), kStationLen));
  return st;
}

// GrADS' map data, which the explorer's coasts come from (installed with
// GrADS, which --maps needs): "" when they are there, else what is missing.
std::string missing_map_data() {
  for (const char* detail : {"lowres", "mres", "hires"})
    if (!dxtest::file_exists(map_data_folder() + "/" + detail))
      return "GrADS' map data are not installed: " + map_data_folder() + "/" + detail;
  return "";
}

// The outputs of a run in `dir` (tables, data sets), then the plan and the
// explorer in dir/maps, as the maps step makes them.
struct Outputs {
  std::vector<WrittenDataSet> written;
  MapFrame frame;
  std::vector<Picture> pictures;
  double explorer_seconds = 0, explorer_cpu = 0;
};
Outputs write_all(Store& st, const std::string& dir, bool tables = true) {
  Outputs o;
  DirectSink sink;
  const auto n = static_cast<std::size_t>(st.NSTN);
  if (tables) {
    o.written = write_outputs(st, sink, dir);  // the run's own tables and data sets
  } else {
    o.written = dxtest::written(st);
  }
  o.frame = map_frame(st, n, MapStyle::Auto);
  o.pictures = plan_pictures(st, o.written, o.frame);
  const dx::Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_GE(fd.get(), 0) << dir;
  const OutputFolder f{fd.get(), dir + "/"};
  make_folder(system_file_ops(), f, "maps");
  const auto cpu = [] {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
  };
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = cpu();
  write_explorer(st, o.written, o.frame, o.pictures, system_file_ops(), f, "maps");
  o.explorer_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.explorer_cpu = cpu() - cpu_start;
  return o;
}

// The base64 text of a data script: what lies between its last pair of
// double quotes.
std::string decoded_values(const std::string& script) {
  const std::size_t end = script.rfind('"'), begin = script.rfind('"', end - 1) + 1;
  static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = begin; i < end && script[i] != '='; ++i) {
    acc = acc << 6 | static_cast<std::uint32_t>(digits.find(script[i]));
    if ((bits += 6) >= 8) out.push_back(static_cast<char>(acc >> (bits -= 8) & 255));
  }
  return out;
}

// `s` without blanks at its ends.
std::string trim(std::string_view s) {
  const std::size_t a = s.find_first_not_of(' ');
  return a == std::string_view::npos ? "" : std::string(s.substr(a, s.find_last_not_of(' ') - a + 1));
}

// A value as the tables print it (F12.3), without its blanks.
std::string table_text(float v) {
  char field[12];
  put_real(field, 12, 3, v);
  return trim(std::string_view(field, 12));
}

TEST(Explorer, QuotingAndBase64) {
  const struct {
    std::string in, out;
  } quoted[] = {
      {"", "\"\""},
      {"Sen's slope (mm/yr)", "\"Sen's slope (mm/yr)\""},
      {"a\"b\\c", "\"a\\u0022b\\u005cc\""},
      {"</script><b>&", "\"\\u003c/script\\u003e\\u003cb\\u003e\\u0026\""},
      {"line\nfeed\t", "\"line\\u000afeed\\u0009\""},
      {"\xe2\x80\xa8|\xe2\x80\xa9|\xe2\x80\x94", "\"\\u2028|\\u2029|\xe2\x80\x94\""},  // separators; a dash stays
  };
  for (const auto& c : quoted) EXPECT_EQ(js_string(c.in), c.out) << c.in;
  const std::pair<std::string, std::string> b64[] = {
      {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\xff\xfe\x00", 3), "//4A"}};
  for (const auto& [in, out] : b64) EXPECT_EQ(base64(in), out) << in;
}

// The values of every data set, and of every card, are those of the .dat
// files bit for bit.
TEST(Explorer, ValuesAreThoseOfTheDataFilesBitForBit) {
  if (const std::string missing = missing_map_data(); !missing.empty()) GTEST_SKIP() << missing;
  TempDir dir;
  Positions pos;
  for (int i = 0; i < 150; ++i)
    pos.push_back({100.0f + static_cast<float>(i % 15), 10.0f + static_cast<float>(i / 15)});
  Store st = varied_network(pos, 3);
  const Outputs o = write_all(st, dir.path());
  const std::size_t n = pos.size();
  std::map<std::string, std::string> set_values;  // base: step after step
  for (const WrittenDataSet& w : o.written) {
    const std::string dat = dxtest::read_file(dir / (w.base + ".dat"));
    std::string want;
    for (std::size_t k = 0; k < w.steps; ++k)
      for (std::size_t i = 0; i < n; ++i) want += dat.substr(k * (32 * n + 28) + 32 * i + 28, 4);
    for (std::size_t k = 0; k < w.steps; ++k)
      set_values[w.base] += decoded_values(
          dxtest::read_file(dir / ("maps/explorer/set-" + w.base + "-" + std::to_string(k + 1) + ".js")));
    EXPECT_TRUE(set_values[w.base] == want) << w.base;
  }
  // A card holds the tables' columns, then per-period the classes of every
  // period: here as many values as the data sets.
  std::string cards;
  for (std::size_t b = 0; b * kCardBlock < n; ++b)
    cards += decoded_values(dxtest::read_file(dir / ("maps/explorer/card-" + std::to_string(b) + ".js")));
  std::size_t record = 0;
  for (const WrittenDataSet& w : o.written) record += w.steps;
  ASSERT_EQ(cards.size(), 4 * n * record);
  for (const std::size_t i : {std::size_t{0}, kCardBlock - 1, kCardBlock, n - 1}) {
    std::size_t at = 4 * i * record;
    for (const Statistic* t : statistics_in_table_order())
      for (std::size_t k = 0; k < t->names.size(); ++k, at += 4)
        EXPECT_EQ(cards.substr(at, 4), set_values[std::string(t->base)].substr(4 * (k * n + i), 4)) << t->base << i;
    for (const PeriodStatistic& s : kPeriodStatistics)
      for (std::int32_t p = 1; p <= st.NPERIOD; ++p)
        for (std::size_t k = 0; k < 18; ++k, at += 4)
          EXPECT_EQ(cards.substr(at, 4), set_values[period_base(s.prefix, p)].substr(4 * (k * n + i), 4)) << p << i;
  }
}

// What the explorer cannot do is named: a file it cannot write, GrADS' map
// data it cannot read, a data set the maps have no picture of.
TEST(Explorer, WhatCannotBeDoneIsNamed) {
  if (const std::string missing = missing_map_data(); !missing.empty()) GTEST_SKIP() << missing;
  TempDir dir, empty_gaddir;
  Store st = varied_network({{105, 20}, {106, 21}}, 1);
  const std::vector<WrittenDataSet> written = dxtest::written(st);
  const MapFrame frame = map_frame(st, 2, MapStyle::Auto);
  const std::vector<Picture> pictures = plan_pictures(st, written, frame);
  const dx::Descriptor fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_GE(fd.get(), 0);
  const OutputFolder f{fd.get(), "out/"};
  const dxtest::InjectedFault denied(dxtest::Fault::OpenDenied, 0, 3);  // after the page, its script and meta.js
  struct Case {
    const char* name;
    const FileOps& ops;
    const char* gaddir;  // GADDIR for the case, or nullptr
    std::vector<Picture> pictures;
    std::string error;
  };
  const Case cases[] = {
      {"a file it cannot write", denied, nullptr, pictures,
       "cannot create out/m0/explorer/set-Num_Dr_Mon-1.js: Permission denied"},
      {"no map data", system_file_ops(), empty_gaddir.path().c_str(), pictures,
       "cannot read GrADS' map data " + empty_gaddir / "hires: No such file or directory"},
      {"no picture",
       system_file_ops(),
       nullptr,
       {},
       "the explorer needs the picture of Num_Dr_Mon, which the maps do not have"},
  };
  const char* gaddir = std::getenv("GADDIR");
  const std::string kept = gaddir != nullptr ? gaddir : "";
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    if (c.gaddir != nullptr) ::setenv("GADDIR", c.gaddir, 1);
    const std::string folder = "m" + std::to_string(i);
    make_folder(system_file_ops(), f, folder);
    EXPECT_EQ(dxtest::error_of([&] { write_explorer(st, written, frame, c.pictures, c.ops, f, folder); }), c.error);
    if (gaddir != nullptr) ::setenv("GADDIR", kept.c_str(), 1);
    else ::unsetenv("GADDIR");
  }
}

// ----- In a browser -----

// The page's own checks, run in the browser after the explorer is ready.
// For each view of CHECK.views ("statistic,period,step"): the data set
// and step shown, the counts, the lists of highest and lowest values, and
// each station of CHECK.probes hovered; then a zoom and a drag; the cards
// of CHECK.cards opened by a click (from the script for a station not on
// the map), a jump from the list; requests to the network.  A line of
// tab-separated fields each, into <pre id="result">; "time" lines and
// wall-clock marks in the browser's log (DXMARK) for the measurements.
const char* kCheckScript = R"(
'use strict';
const LOG = [], note = (...a) => LOG.push(a.join('\t')), pause = ms => new Promise(r => setTimeout(r, ms));
const mark = what => console.log('DXMARK ' + what);
window.addEventListener('error', e => note('error', e.message));
window.addEventListener('unhandledrejection', e => note('error', 'rejected: ' + (e.reason && e.reason.message)));
document.addEventListener('securitypolicyviolation', e => note('blocked', e.violatedDirective, e.blockedURI));
const consoleError = console.error;
console.error = (...a) => { note('error', a.join(' ')); consoleError.apply(console, a); };
window.addEventListener('load', async () => {
  try {
    if (await Promise.race([DX.ready, pause(30000)]) === undefined) throw new Error('the page did not get ready');
    mark('ready');
    const $ = id => document.getElementById(id), top = $('coasts'), tip = $('tip'), card = $('card');
    const r = top.getBoundingClientRect(), text = id => $(id).textContent;
    const event = (type, x, y, more) => ({clientX: r.left + x, clientY: r.top + y, bubbles: true, ...more});
    const at = (type, x, y) => top.dispatchEvent(new PointerEvent(type, event(type, x, y)));
    const listed = id => [...document.querySelectorAll('#' + id + ' li')].map(li => li.dataset.station).join(',');
    for (const view of CHECK.views) {
      mark('switch-begin');
      await DX.show(...view.split(',').map(Number));
      mark('switch-end');
      const v = DX.info().sets[DX.state.set].base + ',' + DX.state.step;
      note('view', view, v);
      note('counts', v, text('n-map'), text('n-missing'), text('n-unusable'));
      note('highest', v, listed('highest'));
      note('lowest', v, listed('lowest'));
      for (const i of CHECK.probes) {
        if (!DX.screenOf(i)) { note('tip', v, i, 'no position'); continue; }
        at('pointermove', ...DX.screenOf(i));
        const f = k => tip.querySelector('[data-f="' + k + '"]').textContent;
        note('tip', v, i, tip.hidden ? 'hidden' : [f('station'), f('position'), f('region'), f('value')].join('|'));
      }
    }
    const within = [...Array(DX.info().stations).keys()].filter(i => DX.screenOf(i)).map(DX.screenOf)
        .filter(([x, y]) => x >= 0 && y >= 0 && x < r.width && y < r.height);
    note('on the map', within.length);
    const i0 = CHECK.probes.find(i => DX.screenOf(i)), [x0, y0] = DX.screenOf(i0);
    top.dispatchEvent(new WheelEvent('wheel', event('wheel', x0, y0, {deltaY: -100, cancelable: true})));
    const [x1, y1] = DX.screenOf(i0);
    note('zoom', DX.state.zoom.toFixed(3), Math.round(Math.hypot(x1 - x0, y1 - y0)));
    at('pointerdown', x1, y1), at('pointermove', x1 + 30, y1 + 20), at('pointermove', x1 + 60, y1 + 40);
    at('pointerup', x1 + 60, y1 + 40);
    const [x2, y2] = DX.screenOf(i0);
    note('pan', Math.round(x2 - x1), Math.round(y2 - y1), card.hidden ? 'no card' : 'card');
    $('zoom-reset').click();
    const shown = async (i, open) => {
      card.hidden = true;
      const done = new Promise(resolve => {
        const seen = new MutationObserver(() => {
          if (!card.hidden && card.dataset.station === String(i)) seen.disconnect(), mark('card-end'), resolve();
        });
        seen.observe(card, {attributes: true});
      });
      mark('card-begin');
      await open();
      await done;
    };
    for (const i of CHECK.cards) {
      const click = async () => { at('pointerdown', ...DX.screenOf(i)), at('pointerup', ...DX.screenOf(i)); };
      await shown(i, DX.screenOf(i) ? click : () => DX.openCard(i));
      const f = k => card.querySelector('[data-f="' + k + '"]').textContent;
      note('cardpos', i, f('position'), f('region'));
      for (const t of card.querySelectorAll('table'))
        [...t.rows].slice(1).forEach((row, k) =>
          note('card', i, t.dataset.group, k, [...row.cells].slice(1).map(c => c.textContent).join('|')));
    }
    const first = document.querySelector('#highest li');
    await shown(+first.dataset.station, async () => first.click());
    note('jump', first.dataset.station, card.dataset.station, DX.state.selected);
    note('network');
    try { await fetch('http://127.0.0.1:9/x'); note('fetch', 'allowed'); } catch (e) { note('fetch', 'refused'); }
    const img = new Image();
    await new Promise(done => { img.onload = img.onerror = done; img.src = 'http://127.0.0.1:9/x.png'; });
    note('image', img.naturalWidth > 0 ? 'loaded' : 'refused');
    await pause(20);
  } catch (e) {
    note('error', 'check: ' + e.message);
  }
  const pre = document.createElement('pre');
  pre.id = 'result';
  pre.textContent = LOG.join('\n') + '\n';
  document.body.appendChild(pre);
});
)";

struct BrowserRun {
  std::string skipped;  // why the browser did not run
  int status = -1;
  std::string result, log;  // the check script's lines; the browser's log
};

// The explorer in dir/maps with the check script, in headless Chromium.
BrowserRun open_in_browser(const std::string& dir, const std::string& check) {
  BrowserRun b;
  const std::string chromium = dxtest::find_on_path("chromium");
  if (chromium.empty()) {
    b.skipped = "chromium is not installed: the explorer was not opened in a browser";
    return b;
  }
  std::string page = dxtest::read_file(dir + "/maps/explorer.html");
  page.insert(page.find("<script"), "<script src=\"check-data.js\"></script><script src=\"check.js\"></script>\n");
  dxtest::write_file(dir + "/maps/check.html", page);
  dxtest::write_file(dir + "/maps/check.js", kCheckScript);
  dxtest::write_file(dir + "/maps/check-data.js", "console.log('DXMARK start');\nconst CHECK = " + check + ";\n");
  TempDir profile;
  const auto r = dxtest::run(
      {.argv = {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--enable-logging=stderr", "--user-data-dir=" + profile.path(), "--window-size=1400,1000",
                "--virtual-time-budget=60000", "--dump-dom", "file://" + dir + "/maps/check.html"},
       .cwd = dir,
       .timeout = 300});
  b.status = r.status, b.log = r.err;
  const std::string open = "<pre id=\"result\">";
  const std::size_t from = r.out.find(open), to = r.out.find("</pre>", from);
  if (from != std::string::npos && to != std::string::npos)
    b.result = r.out.substr(from + open.size(), to - from - open.size());
  for (const auto& [code, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}})
    for (std::size_t i = 0; (i = b.result.find(code, i)) != std::string::npos; i += std::strlen(c))
      b.result.replace(i, std::strlen(code), c);
  return b;
}

// The fields of station i's line in a text table, without their blanks:
// region, longitude, latitude, then the values.
std::vector<std::string> table_fields(const std::string& table, std::size_t i) {
  const std::string l = dxtest::lines_of(table).at(i + 2);
  std::vector<std::string> f = {trim(l.substr(0, 4)), trim(l.substr(4, 8)), trim(l.substr(12, 8))};
  for (std::size_t at = 20; at + 12 <= l.size(); at += 12) f.push_back(trim(l.substr(at, 12)));
  return f;
}

std::string joined(const std::vector<std::string>& v, std::size_t from, const char* sep) {
  std::string s;
  for (std::size_t i = from; i < v.size(); ++i) s.append(i > from ? sep : "").append(v[i]);
  return s;
}

// The times in ms between the check script's marks in the browser's log,
// whose lines start "[pid:tid:MMDD/HHMMSS.micros:": "open" from the first
// script of the page to its being ready, each "<what>-begin" to its end.
std::vector<std::pair<std::string, double>> wall_times(const std::string& log) {
  std::vector<std::pair<std::string, double>> out;
  std::map<std::string, double> begun;
  for (const std::string& line : dxtest::lines_of(log)) {
    const std::size_t m = line.find("DXMARK "), slash = line.find('/');
    if (m == std::string::npos || slash == std::string::npos) continue;
    const std::string what = line.substr(m + 7, line.find('"', m) - m - 7), t = line.substr(slash + 1, 13);
    const double ms = (std::stod(t.substr(0, 2)) * 3600 + std::stod(t.substr(2, 2)) * 60 + std::stod(t.substr(4))) *
                      1e3;
    const std::string name = what == "start" || what == "ready" ? "open" : what.substr(0, what.rfind('-'));
    if (what == "start" || what.ends_with("-begin")) begun[name] = ms;
    if (what == "ready" || what.ends_with("-end")) out.push_back({name, ms - begun[name]});
  }
  return out;
}

// The folder of a test's outputs: `tmp`, or with DX_EXPLORER_KEEP=folder
// set, folder/name, kept (made anew) for a look at the pages.
std::string work_dir(const TempDir& tmp, const std::string& name) {
  const char* keep = std::getenv("DX_EXPLORER_KEEP");
  if (keep == nullptr) return tmp.path();
  const std::string dir = std::string(keep) + "/" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// Stations in a grid of `cols` x `rows` from (lon, lat), longitudes
// beyond `wrap` given a turn less (as files have them), then `extra`.
Positions grid(float lon, float lat, int cols, int rows, float dlon, float dlat, float wrap,
               const Positions& extra = {}) {
  Positions p;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const float x = lon + static_cast<float>(c) * dlon;
      p.push_back({x > wrap ? x - 360 : x, lat + static_cast<float>(r) * dlat});
    }
  }
  p.insert(p.end(), extra.begin(), extra.end());
  return p;
}

// What the check script must report of a network, from its text tables
// and its store: the lines of `result` but the times and the refusals of
// the script's own requests.
std::string expected_report(const Store& st, const MapFrame& frame, const std::string& dir,
                            const std::vector<std::string>& views, const std::vector<std::size_t>& probes,
                            const std::vector<std::size_t>& cards) {
  const std::size_t n = static_cast<std::size_t>(st.NSTN);
  const auto table = [&dir](const Statistic& s) { return dxtest::read_file(dir + "/" + std::string(s.table)); };
  const std::string positions = table(kStatistics[0]);
  std::string out, first_high;
  const auto line = [&out](const std::vector<std::string>& fields) { out += joined(fields, 0, "\t") + "\n"; };
  for (const std::string& view : views) {
    const std::size_t stat = std::stoul(view), period = std::stoul(view.substr(view.find(',') + 1)),
                      step = std::stoul(view.substr(view.rfind(',') + 1));
    // The data set shown: a whole-series statistic, or a per-period one.
    std::string base, tab;
    std::vector<float> v(n);
    if (stat < kStatistics.size()) {
      base = std::string(kStatistics[stat].base), tab = table(kStatistics[stat]);
      for (std::size_t i = 0; i < n; ++i) v[i] = (st.*kStatistics[stat].values)(i, step);
    } else {
      const PeriodStatistic& s = kPeriodStatistics[stat - kStatistics.size()];
      base = period_base(s.prefix, static_cast<std::int32_t>(period + 1));
      for (std::size_t i = 0; i < n; ++i) v[i] = (st.*s.values)(step, i, period);
    }
    const std::string shown = base + "," + std::to_string(step);
    line({"view", view, shown});
    line({"counts", shown, std::to_string(frame.stations),
          std::to_string(std::count_if(v.begin(), v.end(), [](float x) { return !is_drawable(x); })),
          std::to_string(frame.unusable)});
    // The ten highest and lowest drawable values, the first station first among equals.
    for (const bool high : {true, false}) {
      std::vector<std::size_t> order;
      for (std::size_t i = 0; i < n; ++i)
        if (is_drawable(v[i])) order.push_back(i);
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return high ? v[a] > v[b] : v[a] < v[b]; });
      std::vector<std::string> listed;
      for (std::size_t k = 0; k < std::min<std::size_t>(order.size(), 10); ++k)
        listed.push_back(std::to_string(order[k]));
      line({high ? "highest" : "lowest", shown, joined(listed, 0, ",")});
      if (high) first_high = listed.at(0);
    }
    for (const std::size_t i : probes) {
      const std::vector<std::string> p = table_fields(positions, i);
      const std::string value = tab.empty() ? table_text(v[i]) : table_fields(tab, i).at(3 + step);
      line({"tip", shown, std::to_string(i),
            usable_position(st.LON(i), st.LAT(i))
                ? std::to_string(i + 1) + "|" + p[1] + ", " + p[2] + "|" + p[0] + "|" + value
                : "no position"});
    }
  }
  line({"on the map", std::to_string(frame.stations)});
  line({"zoom", "1.250", "0"});  // pixels the station moved
  line({"pan", "60", "40", "no card"});
  for (const std::size_t i : cards) {
    const std::vector<std::string> p = table_fields(positions, i);
    line({"cardpos", std::to_string(i), p[1] + ", " + p[2], p[0]});
    std::size_t group = 0;
    for (const Statistic* s : statistics_in_table_order())
      line({"card", std::to_string(i), std::to_string(group++), "0", joined(table_fields(table(*s), i), 3, "|")});
    for (const PeriodStatistic& s : kPeriodStatistics) {
      for (std::size_t per = 0; per < static_cast<std::size_t>(st.NPERIOD); ++per) {
        std::vector<std::string> cells;
        for (std::size_t k = 0; k < 18; ++k) cells.push_back(table_text((st.*s.values)(k, i, per)));
        line({"card", std::to_string(i), std::to_string(group), std::to_string(per), joined(cells, 0, "|")});
      }
      ++group;
    }
  }
  line({"jump", first_high, first_high, first_high});
  line({"network"});
  line({"fetch", "refused"});
  line({"image", "refused"});
  return out;
}

TEST(Explorer, InABrowserHoverCardsListsAndCountsAreThoseOfTheTables) {
  if (const std::string missing = missing_map_data(); !missing.empty()) GTEST_SKIP() << missing;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const char* name;
    Positions positions;
    Projection projection;
  } networks[] = {
      {"a country", grid(102.5f, 9.0f, 12, 12, 0.6f, 1.2f, 180, {{nan, 10}, {105, 95}, {400, 10}}), Projection::LatLon},
      {"across the date line", grid(172.0f, -22.0f, 10, 6, 2.5f, 2.0f, 180), Projection::LatLon},
      {"across 0 in 0..360", grid(352.0f, 43.0f, 8, 5, 2.5f, 2.0f, 360), Projection::LatLon},
      {"near the north pole", grid(0.0f, 72.0f, 12, 4, 30.0f, 5.5f, 360, {{10, nan}}), Projection::NorthPolar},
  };
  for (const auto& net : networks) {
    SCOPED_TRACE(net.name);
    TempDir tmp;
    const std::string dir = work_dir(tmp, net.name);
    Store st = varied_network(net.positions, 2);
    const Outputs o = write_all(st, dir);
    ASSERT_EQ(o.frame.projection, net.projection);
    ASSERT_TRUE(o.frame.lon2 - o.frame.lon1 < 60 || net.projection != Projection::LatLon)
        << "one region across 180 or 0";
    const std::size_t n = net.positions.size();
    std::vector<std::size_t> probes, cards = {0, n / 2, n - 1};
    for (std::size_t i = 0; i < n; i += 5) probes.push_back(i);
    probes.push_back(n - 1);
    const std::vector<std::string> views = {"0,0,0", "1,0,3", "9,0,11", "11,1,17", "12,0,5"};
    std::string check = "{views:[";
    for (const std::string& v : views) check += "\"" + v + "\",";
    check += "],probes:[";
    for (const std::size_t i : probes) check += std::to_string(i) + ",";
    check += "],cards:[";
    for (const std::size_t i : cards) check += std::to_string(i) + ",";
    const BrowserRun b = open_in_browser(dir, check + "]}");
    if (!b.skipped.empty()) GTEST_SKIP() << b.skipped;
    ASSERT_EQ(b.status, 0) << b.log;

    // The report, but the refusals of the script's own requests, which
    // show that they were blocked by the page's policy.
    std::string report;
    int refusals = 0;
    for (const std::string& l : dxtest::lines_of(b.result)) {
      if (l.starts_with("blocked\t") && report.find("network\n") != std::string::npos) ++refusals;
      else report += l + "\n";
    }
    const std::string want = expected_report(st, o.frame, dir, views, probes, cards);
    const std::vector<std::string> got_lines = dxtest::lines_of(report), want_lines = dxtest::lines_of(want);
    for (std::size_t i = 0; i < std::max(got_lines.size(), want_lines.size()); ++i) {
      const std::string got = i < got_lines.size() ? got_lines[i] : "(none)";
      ASSERT_EQ(got, i < want_lines.size() ? want_lines[i] : "(none)") << "line " << i + 1;
    }
    EXPECT_EQ(refusals, 2) << "the page's policy refuses requests to the network";
    // Nothing in the browser's console but those refusals and the marks.
    for (const std::string& l : dxtest::lines_of(b.log))
      if (l.find(":CONSOLE") != std::string::npos && l.find("127.0.0.1:9") == std::string::npos &&
          l.find("DXMARK") == std::string::npos)
        ADD_FAILURE() << l;
    // Nothing in the page or its scripts names anything beyond its folder.
    for (const char* name : {"explorer.html", "explorer/explorer.js", "explorer/meta.js"})
      EXPECT_EQ(dxtest::read_file(dir + "/maps/" + std::string(name)).find("://"), std::string::npos) << name;
  }
}

// The explorer's cost at the network sizes of the benchmark, measured in
// the browser harness of this file (run by hand, never in CI:
// --gtest_also_run_disabled_tests; DX_EXPLORER_SIZES="150,2500" for
// others, DX_EXPLORER_KEEP=folder keeps the outputs): the size of its data
// against the run's other outputs, the time write_explorer takes, and in
// headless Chromium the time the page takes to open, to switch to a data
// set not shown yet and to open a card.
TEST(Explorer, DISABLED_CostAtEachNetworkSize) {
  if (const std::string missing = missing_map_data(); !missing.empty()) GTEST_SKIP() << missing;
  const char* sizes = std::getenv("DX_EXPLORER_SIZES");
  std::istringstream list(sizes != nullptr ? sizes : "150,2500,26000,100000");
  for (std::string size; std::getline(list, size, ',');) {
    const std::size_t n = std::stoul(size);
    SCOPED_TRACE(size + " stations");
    TempDir tmp;
    const std::string dir = work_dir(tmp, size);
    Positions pos;
    std::uint64_t seed = 99;
    const auto uniform = [&seed] {
      return static_cast<float>((seed = seed * 6364136223846793005u + 1) >> 40) / 16777216.0f;
    };
    for (std::size_t i = 0; i < n; ++i) pos.push_back({95 + 30 * uniform(), 30 * uniform()});
    Store st = varied_network(pos, 12);
    const Outputs o = write_all(st, dir, false);
    std::uintmax_t data = 0, others = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir + "/maps"))
      if (e.is_regular_file()) data += e.file_size();
    for (const Statistic& s : kStatistics)
      others += 2 + kTitleLen + 20 + 12 * s.names.size() + n * (21 + 12 * s.names.size());  // the table
    for (const WrittenDataSet& w : o.written)
      others += grads_data_size(n, w.steps) + 150 + 8 * w.steps + 16;  // .dat, .ctl (about), .dat.map
    const std::string check = "{views:[\"7,0,0\",\"11,5,3\",\"3,0,17\"],probes:[0,1],cards:[" + std::to_string(n / 3) +
                              "," + std::to_string(n - 1) + "]}";
    const BrowserRun b = open_in_browser(dir, check);
    if (!b.skipped.empty()) GTEST_SKIP() << b.skipped;
    ASSERT_EQ(b.status, 0) << b.log;
    EXPECT_EQ(b.result.find("error"), std::string::npos) << b.result;
    double open = -1, switched = 0, card = 0;
    for (const auto& [what, ms] : wall_times(b.log)) {
      if (what == "open") open = ms;
      if (what == "switch") switched = std::max(switched, ms);
      if (what == "card") card = std::max(card, ms);
    }
    std::printf(
        "explorer %7zu stations: data %9.1f MB, other outputs %9.1f MB (%.2f); written in %.2f s (CPU %.2f s); "
        "open %.0f ms, switch %.0f ms, card %.0f ms\n",
        n, static_cast<double>(data) / 1e6, static_cast<double>(others) / 1e6,
        static_cast<double>(data) / static_cast<double>(others), o.explorer_seconds, o.explorer_cpu, open, switched,
        card);
    // A measurement, not a timed test: the times go to bench/README.md.
    EXPECT_GE(open, 0) << "the page logged no time of opening";
    EXPECT_LT(static_cast<double>(data), 0.4 * static_cast<double>(others));
  }
}

}  // namespace
}  // namespace dx
