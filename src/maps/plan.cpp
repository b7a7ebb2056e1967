#include "maps/plan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "base/error.hpp"
#include "base/labels.hpp"
#include "output/catalogue.hpp"

namespace dx {
namespace {

// The page area of the panels, below the title and subtitle; each map has
// room above it for its heading and below it for its note.
constexpr Box kPanelArea{0.3, 1.45, 10.7, 7.55};
constexpr double kHeading = 0.22, kNote = 0.2;
// Below the last row: the colour bar, its labels and its name, then the
// caption, a line each.
constexpr double kBarHeight = 0.25, kBarGap = 0.15, kBarWords = 0.45, kCaptionLine = 0.17, kFoot = 0.1;
constexpr std::size_t kCaptionWidth = 120;  // characters a caption line holds

constexpr double kPi = 3.14159265358979323846;

// The least and greatest of some numbers.
struct Span {
  double lo = std::numeric_limits<double>::infinity(), hi = -std::numeric_limits<double>::infinity();
  void add(double x) { lo = std::min(lo, x), hi = std::max(hi, x); }
  double width() const { return hi - lo; }
};

std::string station_words(std::size_t n) { return std::to_string(n) + (n == 1 ? " station" : " stations"); }

// The data set `base` among those the run wrote.
const WrittenDataSet& written_set(std::span<const WrittenDataSet> written, const std::string& base) {
  for (const WrittenDataSet& w : written)
    if (w.base == base) return w;
  throw Error("the maps need the data set " + base + ", which the run did not write");
}

// Class k of the first `n` stations in period p of a per-period array.
std::vector<float> period_column(const Array3& a, std::size_t n, std::size_t k, std::size_t p) {
  std::vector<float> v(std::min(n, a.extent(1)));
  for (std::size_t s = 0; s < v.size(); ++s) v[s] = a(k, s, p);
  return v;
}

// A count of the store, never beyond dimension `dim` of any per-period array.
std::size_t extent_of_all(const Store& st, std::int32_t count, std::size_t dim) {
  std::size_t n = count_to_size(count);
  for (const PeriodStatistic& s : kPeriodStatistics) n = std::min(n, (st.*s.values).extent(dim));
  return n;
}

// `text` in lines of at most `width` characters, broken at blanks.
std::vector<std::string> wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t end = std::min(text.find(' ', i), text.size());
    const std::string word = text.substr(i, end - i);
    if (!line.empty() && line.size() + 1 + word.size() > width) lines.push_back(std::move(line)), line.clear();
    line += (line.empty() ? "" : " ") + word;
    i = end + 1;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// The class of `v` among class boundaries `levels`, as GrADS counts it: a
// value at a boundary belongs to the class above.
int class_of(std::span<const double> levels, double v) {
  return static_cast<int>(std::upper_bound(levels.begin(), levels.end(), v) - levels.begin());
}

// Step `panel` of the draw set at `which` of picture `p` (made, named
// <picture><suffix>, when there is none yet).
std::vector<StationReport>& draw_step(Picture& p, int& which, const char* suffix, std::size_t panel) {
  if (which < 0) {
    which = static_cast<int>(p.draw_sets.size());
    p.draw_sets.push_back({p.name + suffix, {}});
  }
  auto& steps = p.draw_sets[static_cast<std::size_t>(which)].steps;
  if (steps.size() <= panel) steps.resize(panel + 1);
  return steps[panel];
}

// What a picture is before its panels are placed.
struct Draft {
  Picture p;
  ScaleKind kind;
  std::vector<float> values;  // the drawable values of every panel
};

Draft draft(std::string name, const MapWords& words, std::string title, std::string subtitle,
            const std::string& units) {
  Draft d;
  d.kind = words.scale;
  d.p.name = std::move(name);
  d.p.group = std::string(words.group);
  d.p.title = std::move(title);
  d.p.subtitle = std::move(subtitle);
  d.p.quantity = std::string(words.quantity) + (units.empty() ? "" : " (" + units + ")");
  d.p.by_significance = words.scale == ScaleKind::PValue;
  return d;
}

void add_panel(Draft& d, std::string heading, std::size_t source, std::size_t step, std::span<const float> values) {
  const std::size_t panel = d.p.panels.size();
  Panel pan;
  pan.heading = std::move(heading);
  pan.source = source;
  pan.step = static_cast<int>(step + 1);
  pan.values.add(values);
  for (const float v : values)
    if (is_drawable(v)) d.values.push_back(v);
  if (pan.values.left_off > 0) {
    std::vector<StationReport>& gone = draw_step(d.p, d.p.missing, "_missing", panel);
    for (std::size_t s = 0; s < values.size(); ++s)
      if (!is_drawable(values[s])) gone.push_back({static_cast<std::uint32_t>(s), 1.0f});
  }
  if (d.p.by_significance) {
    // The least significant first, so that the most significant lie on top.
    std::vector<StationReport>& order = draw_step(d.p, d.p.ordered, "_by_p", panel);
    for (std::size_t s = 0; s < values.size(); ++s)
      if (is_drawable(values[s])) order.push_back({static_cast<std::uint32_t>(s), values[s]});
    std::stable_sort(order.begin(), order.end(),
                     [](const StationReport& a, const StationReport& b) { return a.value > b.value; });
  }
  d.p.panels.push_back(std::move(pan));
}

// Marks the stations of `panel` whose p-values `p` are significant.
void add_rings(Picture& p, std::span<const float> prob) {
  const std::size_t panel = p.panels.size() - 1;
  std::vector<StationReport>& ringed = draw_step(p, p.ringed, "_rings", panel);
  for (std::size_t s = 0; s < prob.size(); ++s)
    if (is_drawable(prob[s]) && prob[s] < kSignificant) ringed.push_back({static_cast<std::uint32_t>(s), 1.0f});
  p.panels.back().rings = !ringed.empty();
}

// The degrees a map spans across, for the detail of its coasts.
double degrees_across(const MapFrame& f) {
  if (f.projection == Projection::LatLon) return f.lon2 - f.lon1;
  // From the pole to the edge, or across a sector at its widest.
  const double edge = f.projection == Projection::NorthPolar ? f.lat1 : f.lat2;
  const double radius = 90 - std::fabs(edge);
  if (f.lon2 - f.lon1 >= 360) return 2 * radius;
  return std::max(radius, (f.lon2 - f.lon1) * std::cos(edge * kPi / 180));
}

// Leaves out of each step of `set` the marks a later one covers: of the
// stations within one cell of `cell_lon` x `cell_lat` degrees only the
// last is kept, in its place in the order.  Dense networks then draw a
// few thousand marks a panel, not every station.
void thin(DrawSet& set, const Store& st, double cell_lon, double cell_lat) {
  if (!(cell_lon > 0) || !(cell_lat > 0)) return;
  for (std::vector<StationReport>& step : set.steps) {
    std::unordered_set<std::uint64_t> taken;
    std::vector<StationReport> kept;
    for (auto r = step.rbegin(); r != step.rend(); ++r) {
      const double lon = st.LON(r->station), lat = st.LAT(r->station);
      if (!usable_position(lon, lat)) continue;
      const auto cx = static_cast<std::int64_t>(std::floor((lon < 0 ? lon + 360 : lon) / cell_lon));
      const auto cy = static_cast<std::int64_t>(std::floor((lat + 90) / cell_lat));
      if (taken.insert(static_cast<std::uint64_t>(cx) << 32 ^ static_cast<std::uint64_t>(cy)).second)
        kept.push_back(*r);
    }
    step.assign(kept.rbegin(), kept.rend());
  }
}

// The caption: how the values are drawn, what lies beyond the scale, the
// stations left off.
std::string caption_text(const Picture& p, const MapFrame& f) {
  std::string caption = p.by_significance ? "Drawn as one coloured mark per station, the most significant on top "
                                            "(p-values are never interpolated)."
                                          : "Drawn as " + drawing_words(f) + ".";
  if (p.scale.below > 0 || p.scale.above > 0) {
    caption += " Beyond the scale, in its open end classes:";
    if (p.scale.below > 0) caption += " " + std::to_string(p.scale.below) + " below " + p.scale.labels.front() + ";";
    if (p.scale.above > 0) caption += " " + std::to_string(p.scale.above) + " above " + p.scale.labels.back() + ";";
    caption.back() = '.';
  }
  if (f.unusable > 0) caption += " " + station_words(f.unusable) + " without a usable position left off.";
  return caption;
}

// The scale, the captions, the coasts and the place of every panel: the
// rows from the top of the panel area, the colour bar and the caption
// right below them.
Picture place(Draft&& d, const Store& st, const MapFrame& f) {
  Picture& p = d.p;
  p.scale = make_scale(d.kind, d.values);
  for (DrawSet& set : p.draw_sets) set.steps.resize(p.panels.size());
  const Layout lay = layout(p.panels.size(), f.aspect);
  const double cell_w = kPanelArea.width() / lay.cols;
  const double row_h = lay.map_height + kHeading + kNote;
  p.caption = wrap(caption_text(p, f), kCaptionWidth);
  // The rows, the colour bar and the caption as one block, centred between
  // the subtitle and the foot of the page.
  const double block = lay.rows * row_h + kBarGap + kBarHeight + kBarWords +
                       static_cast<double>(p.caption.size()) * kCaptionLine;
  const double top = kPanelArea.y2 - std::max(0.0, (kPanelArea.y2 - kFoot - block) / 2);
  std::size_t longest = 1;
  for (const Panel& pan : p.panels) longest = std::max(longest, pan.heading.size());
  p.heading_size = std::min(0.11, 0.92 * cell_w / static_cast<double>(longest));
  for (std::size_t i = 0; i < p.panels.size(); ++i) {
    Panel& pan = p.panels[i];
    const int k = static_cast<int>(i);
    const int row = lay.down ? k % lay.rows : k / lay.cols, col = lay.down ? k / lay.rows : k % lay.cols;
    const double cx = kPanelArea.x1 + (col + 0.5) * cell_w, y2 = top - row * row_h - kHeading;
    pan.map = {cx - lay.map_width / 2, y2 - lay.map_height, cx + lay.map_width / 2, y2};
    std::vector<std::string> note;
    if (pan.values.drawable > 0 && pan.values.min == pan.values.max) {
      // GrADS draws a field of one value in a colour of its own choosing,
      // whatever the levels: the colour of its class is given, and the
      // value written under the map.
      pan.one_class = class_of(p.scale.levels, pan.values.min);
      note.push_back("every value " + value_text(pan.values.min));
    }
    if (pan.values.left_off > 0) note.push_back(std::to_string(pan.values.left_off) + " missing");
    for (const std::string& n : note) pan.note += (pan.note.empty() ? "" : ", ") + n;
  }
  const double bottom = top - lay.rows * row_h;
  p.bar = {2.0, bottom - kBarGap - kBarHeight, 9.0, bottom - kBarGap};
  // Marks about nine tenths of the mean distance between stations, at
  // least four pixels.
  const double spacing = std::sqrt(lay.map_width * lay.map_height /
                                   static_cast<double>(std::max<std::size_t>(f.stations, 1)));
  p.mark = std::clamp(0.9 * spacing, 4.0 * kPageWidth / kPictureWidth, 0.15);
  // Half a mark in degrees, each way.
  const double across = (f.projection == Projection::LatLon ? f.lon2 - f.lon1 : degrees_across(f)) / lay.map_width;
  const double up = (f.projection == Projection::LatLon ? f.lat2 - f.lat1 : degrees_across(f)) / lay.map_height;
  const double half_lon = p.mark / 2 * across, half_lat = p.mark / 2 * up;
  // Of the marks of a dense network only those on top in each spot are
  // drawn.  On a grid the significant stations are stippled, a dot on a
  // coarser grid of their own, so that a map where most are significant
  // stays readable.
  for (std::size_t i = 0; i < p.draw_sets.size(); ++i) {
    const double cells = f.gridded() && static_cast<int>(i) == p.ringed ? 6 : 1;
    if (cells > 1 || f.stations > kMarkerLimit) thin(p.draw_sets[i], st, cells * half_lon, cells * half_lat);
  }
  const double per_inch = degrees_across(f) / lay.map_width;
  p.coasts = per_inch < 10 ? "hires" : per_inch < 60 ? "mres" : "lowres";

  return std::move(p);
}

// The whole-series statistic whose data set is `base`.
const Statistic& statistic(std::string_view base) {
  for (const Statistic& s : kStatistics)
    if (s.base == base) return s;
  throw Error("the maps need the statistic " + std::string(base) + ", which the catalogue does not hold");
}

// The pictures of the whole-series statistics: one per data set.
void whole_series(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& f,
                  std::vector<Picture>& out) {
  const std::size_t n = written.front().stations;
  for (const Statistic& s : kStatistics) {
    const std::string base(s.base);
    const WrittenDataSet& w = written_set(written, base);
    const Array2& a = st.*s.values;
    Draft d = draft(base, s.map, std::string(s.map.title), base + ", " + station_words(n), a.units);
    d.p.sources.push_back({base, w.var, std::string(s.table)});
    const Array2* prob = nullptr;
    if (!s.map.significance.empty()) {
      const WrittenDataSet& pw = written_set(written, std::string(s.map.significance));
      if (pw.steps >= w.steps) {
        d.p.significance = 1;
        d.p.sources.push_back({pw.base, pw.var, ""});
        prob = &(st.*statistic(s.map.significance).values);
      }
    }
    const std::size_t rows = std::min(n, a.extent(0));
    for (std::size_t k = 0; k < std::min(w.steps, a.extent(1)); ++k) {
      const std::string code = k < s.columns.size() ? heading_words(s.columns[k]) : "column " + std::to_string(k + 1);
      add_panel(d, code, 0, k, std::span<const float>(a.column(k), rows));
      if (prob != nullptr && k < prob->extent(1))
        add_rings(d.p, std::span<const float>(prob->column(k), std::min(n, prob->extent(0))));
    }
    out.push_back(place(std::move(d), st, f));
  }
}

// The pictures of the per-period statistics: one per period (a panel per
// class), then one per class (a panel per period).
void by_period(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& f, std::vector<Picture>& out) {
  const std::size_t n = written.front().stations;
  const std::size_t periods = extent_of_all(st, st.NPERIOD, 2), classes = extent_of_all(st, st.NCLASS, 0);
  for (std::size_t per = 0; per < periods; ++per) {
    for (const PeriodStatistic& s : kPeriodStatistics) {
      const std::string base = period_base(s.prefix, static_cast<std::int32_t>(per + 1));
      const WrittenDataSet& w = written_set(written, base);
      Draft d = draft(base, s.map, std::string(s.map.title) + ", " + period_words(st, per),
                      base + ", " + station_words(n), (st.*s.values).units);
      d.p.sources.push_back({base, w.var, ""});
      for (std::size_t k = 0; k < std::min(classes, w.steps); ++k)
        add_panel(d, heading_words(period_class(k)), 0, k, period_column(st.*s.values, n, k, per));
      out.push_back(place(std::move(d), st, f));
    }
  }
  for (const PeriodStatistic& s : kPeriodStatistics) {
    if (periods == 0) break;
    const std::string first = period_base(s.prefix, 1),
                      last = period_base(s.prefix, static_cast<std::int32_t>(periods));
    for (std::size_t k = 0; k < classes; ++k) {
      Draft d = draft(std::string(s.prefix) + period_class(k), s.map,
                      std::string(s.map.title) + " by period, " + heading_words(period_class(k)),
                      first + " to " + last + ", time step " + std::to_string(k + 1) + ", " + station_words(n),
                      (st.*s.values).units);
      for (std::size_t per = 0; per < periods; ++per) {
        const std::string base = period_base(s.prefix, static_cast<std::int32_t>(per + 1));
        d.p.sources.push_back({base, written_set(written, base).var, ""});
        add_panel(d, period_words(st, per), per, k, period_column(st.*s.values, n, k, per));
      }
      out.push_back(place(std::move(d), st, f));
    }
  }
}

// The words of an index code: "spei06" gives "SPEI-6".
std::string index_words(std::string_view code) {
  if (code == "scpdsi") return "scPDSI";
  if (code == "pdsi") return "PDSI";
  for (const std::string_view family : {"spei", "spi"}) {
    if (!code.starts_with(family) || code.size() == family.size()) continue;
    const std::string_view months = code.substr(family.size());
    if (months.find_first_not_of("0123456789") != std::string_view::npos) continue;
    std::string w(family);
    std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return w + "-" + std::to_string(std::stoi(std::string(months)));
  }
  return std::string(code);
}

// Frames: the margin around the stations, and the window of longitudes.
void frame_region(MapFrame& f, const Span& lon, double window, const Span& lat) {
  const double my = std::max(0.05 * lat.width(), 0.5);
  if (lat.hi > 60 && lat.lo > -10) f.projection = Projection::NorthPolar;
  if (lat.lo < -60 && lat.hi < 10) f.projection = Projection::SouthPolar;
  if (f.projection != Projection::LatLon) {
    // A sector from the pole, the whole circle where the stations go
    // half-way round or reach the pole's neighbourhood (the pole is then
    // the centre of the map, never its edge).
    const bool north = f.projection == Projection::NorthPolar;
    f.lat1 = north ? std::max(lat.lo - my, -10.0) : -90;
    f.lat2 = north ? 90 : std::min(lat.hi + my, 10.0);
    const double mx = std::max(0.05 * lon.width(), 2.0);
    const bool whole = lon.width() + 2 * mx > 180 || (north ? lat.hi : -lat.lo) > 85;
    f.lon1 = whole ? lon.lo - (360 - lon.width()) / 2 : lon.lo - mx;
    f.lon2 = whole ? f.lon1 + 360 : lon.hi + mx;
    f.aspect = 1;
    return;
  }
  const double mx = std::max(0.05 * lon.width(), 0.5);
  f.lon1 = lon.lo - mx, f.lon2 = lon.hi + mx;
  if (f.lon2 - f.lon1 > 360) f.lon1 = window, f.lon2 = window + 360;  // the whole globe
  f.lat1 = std::max(-90.0, lat.lo - my), f.lat2 = std::min(90.0, lat.hi + my);
  // One degree of longitude as wide as it is at the region's middle latitude.
  const double mid = (f.lat1 + f.lat2) / 2 * kPi / 180;
  f.aspect = (f.lon2 - f.lon1) * std::max(std::cos(mid), 0.2) / (f.lat2 - f.lat1);
}

void frame_grid(MapFrame& f, const Span& lon, const Span& lat) {
  if (f.drawing == MapStyle::Boxes) {
    // About eight stations a box, so that few boxes stay empty.
    const double area = std::max(lon.width(), 0.01) * std::max(lat.width(), 0.01);
    f.box = std::sqrt(8.0 * area / static_cast<double>(f.stations));
  } else {
    // 60 boxes along the map's longer side: GrADS' Cressman radii (10 to 1
    // boxes) then reach a sixth of the map.
    f.box = std::max(f.lon2 - f.lon1, f.lat2 - f.lat1) / 60.0;
  }
  f.box = std::max(0.001, std::round(f.box * 1000.0) / 1000.0);
  // The grid reaches one box beyond the map on every side.
  f.grid_lon = f.lon1 - f.box / 2, f.grid_lat = f.lat1 - f.box / 2;
  f.grid_nx = static_cast<std::size_t>(std::ceil((f.lon2 - f.lon1) / f.box)) + 2;
  f.grid_ny = static_cast<std::size_t>(std::ceil((f.lat2 - f.lat1) / f.box)) + 2;
}

}  // namespace

std::string period_words(const Store& st, std::size_t p) {
  if (p < st.PERIODS.size()) return "period " + value_text(st.PERIODS(p));
  return "period " + std::to_string(p + 1);
}

bool usable_position(double lon, double lat) {
  return std::isfinite(lon) && std::isfinite(lat) && lat >= -90 && lat <= 90 && lon >= -180 && lon <= 360;
}

MapFrame map_frame(const Store& st, std::size_t stations, MapStyle style) {
  MapFrame f;
  const std::size_t n = std::min({stations, st.LON.extent(0), st.LAT.extent(0)});
  f.unusable = stations - n;
  // The longitudes in both windows, -180..180 and 0..360.
  Span west, east, lat;
  for (std::size_t s = 0; s < n; ++s) {
    const double lon = st.LON(s), la = st.LAT(s);
    if (!usable_position(lon, la)) {
      ++f.unusable;
      continue;
    }
    west.add(lon > 180 ? lon - 360 : lon);
    east.add(lon < 0 ? lon + 360 : lon);
    lat.add(la);
    ++f.stations;
  }
  if (f.stations == 0) {
    f.lon1 = -180, f.lon2 = 180, f.lat1 = -90, f.lat2 = 90, f.aspect = 2;
    return f;
  }
  const bool eastward = east.width() < west.width();
  frame_region(f, eastward ? east : west, eastward ? 0 : -180, lat);
  f.chosen = style != MapStyle::Auto;
  f.drawing = f.chosen ? style : f.stations > kMarkerLimit ? MapStyle::Boxes : MapStyle::Marks;
  if (f.gridded()) frame_grid(f, eastward ? east : west, lat);
  const Span& lon = eastward ? east : west;
  if (f.gridded() && lon.width() < 3 * f.box && lat.width() < 3 * f.box) {
    // Stations within a few boxes of each other would come out as a few
    // specks on an empty map: marks show them.
    f.drawing = MapStyle::Marks;
    f.crowded = true;
  }
  return f;
}

std::string drawing_words(const MapFrame& f) {
  switch (f.drawing) {
    case MapStyle::Boxes:
      return "box averages of the stations on a " + value_text(f.box) + " degree grid (" +
             (f.chosen ? std::string("--maps-style=boxes")
                       : "more than " + std::to_string(kMarkerLimit) + " stations") +
             ")";
    case MapStyle::Cressman:
      return "a Cressman analysis of the stations on a " + value_text(f.box) + " degree grid (--maps-style=cressman)";
    default:
      if (f.crowded) return "one coloured mark per station (the stations lie too close together for a grid)";
      return f.chosen ? "one coloured mark per station (--maps-style=marks)" : "one coloured mark per station";
  }
}

Layout layout(std::size_t panels, double aspect) {
  const int n = static_cast<int>(std::max<std::size_t>(panels, 1));
  const auto fit = [aspect](int rows, int cols) {
    const double cell_w = kPanelArea.width() / cols, cell_h = kPanelArea.height() / rows;
    const double h = std::min(cell_h - kHeading - kNote, (cell_w - 0.15) / aspect);
    return Layout{rows, cols, h * aspect, h, false};
  };
  // The classes by class and index, the pairs and periods by four: a group
  // a row, or a column where the maps come out larger.
  for (const int group : {6, 4}) {
    if (n != 3 * group) continue;
    const Layout across = fit(3, group);
    Layout down = fit(group, 3);
    down.down = true;
    return down.map_height > across.map_height ? down : across;
  }
  Layout best;
  for (int rows = 1; rows <= n; ++rows) {
    const Layout l = fit(rows, (n + rows - 1) / rows);
    if (l.map_height > best.map_height) best = l;
  }
  return best;
}

std::string heading_words(std::string_view code) {
  const std::size_t cut = code.find('_');
  if (cut == std::string_view::npos) return index_words(code);
  const std::string_view first = code.substr(0, cut), second = code.substr(cut + 1);
  for (const auto& [suffix, words] : {std::pair{"mod", "moderate"}, {"sev", "severe"}, {"ext", "extreme"}})
    if (second == suffix) return index_words(first) + ", " + words;
  return index_words(first) + " vs " + index_words(second);
}

std::vector<Picture> plan_pictures(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& frame) {
  std::vector<Picture> pictures;
  if (frame.stations == 0 || written.empty()) return pictures;
  whole_series(st, written, frame, pictures);
  by_period(st, written, frame, pictures);
  return pictures;
}

}  // namespace dx
