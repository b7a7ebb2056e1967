#include "maps/plan.hpp"

#include <algorithm>
#include <cmath>

#include "base/error.hpp"
#include "base/labels.hpp"
#include "output/catalogue.hpp"

namespace dx {
namespace {

// The page area of the panels, below the title and above the caption and
// the colour bar; the room above each map for its heading.
constexpr Box kPanelArea{0.3, 1.3, 10.7, 7.45};
constexpr double kHeading = 0.22;

std::string heading(std::span<const std::string_view> names, std::size_t k) {
  return k < names.size() ? std::string(names[k]) : "column " + std::to_string(k + 1);
}

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

// A picture before its panels are placed: its words and sources.
Picture picture(std::string name, const MapWords& words, std::string title, std::string subtitle) {
  Picture p;
  p.name = std::move(name);
  p.group = std::string(words.group);
  p.title = std::move(title);
  p.subtitle = std::move(subtitle);
  return p;
}

void add_panel(Picture& p, std::string heading, std::size_t source, std::size_t step, std::span<const float> values) {
  Panel pan;
  pan.heading = std::move(heading);
  pan.source = source;
  pan.step = static_cast<int>(step + 1);
  pan.values.add(values);
  p.values.merge(pan.values);
  p.panels.push_back(std::move(pan));
}

void place(Picture& p, const MapFrame& f, ScaleKind kind);

// The pictures of the whole-series statistics: one per data set.
void whole_series(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& f, std::size_t n,
                  std::vector<Picture>& out) {
  for (const Statistic& s : kStatistics) {
    const std::string base(s.base);
    const WrittenDataSet& w = written_set(written, base);
    Picture p = picture(base, s.map, std::string(s.map.title), base + ", " + station_words(n));
    p.sources.push_back({base, w.var, std::string(s.table)});
    const Array2& a = st.*s.values;
    const std::size_t rows = std::min(n, a.extent(0));
    for (std::size_t k = 0; k < std::min(w.steps, a.extent(1)); ++k)
      add_panel(p, heading(s.names, k), 0, k, std::span<const float>(a.column(k), rows));
    place(p, f, s.map.scale);
    out.push_back(std::move(p));
  }
}

// A count of the store, never beyond dimension `dim` of any per-period array.
std::size_t extent_of_all(const Store& st, std::int32_t count, std::size_t dim) {
  std::size_t n = count_to_size(count);
  for (const PeriodStatistic& s : kPeriodStatistics) n = std::min(n, (st.*s.values).extent(dim));
  return n;
}

// The pictures of the per-period statistics: one per period (a panel per
// class), then one per class (a panel per period).
void by_period(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& f, std::size_t n,
               std::vector<Picture>& out) {
  const std::size_t periods = extent_of_all(st, st.NPERIOD, 2), classes = extent_of_all(st, st.NCLASS, 0);
  for (std::size_t per = 0; per < periods; ++per) {
    for (const PeriodStatistic& s : kPeriodStatistics) {
      const std::string base = period_base(s.prefix, static_cast<std::int32_t>(per + 1));
      const WrittenDataSet& w = written_set(written, base);
      Picture p = picture(base, s.map,
                          std::string(s.map.title) + ", period " + std::to_string(per + 1) + std::string(period_unit(s)),
                          base + ", " + station_words(n));
      p.sources.push_back({base, w.var, ""});
      for (std::size_t k = 0; k < std::min(classes, w.steps); ++k)
        add_panel(p, heading(VARN, k), 0, k, period_column(st.*s.values, n, k, per));
      place(p, f, s.map.scale);
      out.push_back(std::move(p));
    }
  }
  for (const PeriodStatistic& s : kPeriodStatistics) {
    if (periods == 0) break;
    const std::string first = period_base(s.prefix, 1), last = period_base(s.prefix, static_cast<std::int32_t>(periods));
    for (std::size_t k = 0; k < classes; ++k) {
      const std::string cls = heading(VARN, k);
      Picture p = picture(std::string(s.prefix) + cls, s.map,
                          std::string(s.map.title) + " by period, " + cls + std::string(period_unit(s)),
                          first + " to " + last + ", time step " + std::to_string(k + 1) + ", " + station_words(n));
      p.group += " by period";
      for (std::size_t per = 0; per < periods; ++per) {
        const std::string base = period_base(s.prefix, static_cast<std::int32_t>(per + 1));
        p.sources.push_back({base, written_set(written, base).var, ""});
        add_panel(p, "period " + std::to_string(per + 1), per, k, period_column(st.*s.values, n, k, per));
      }
      place(p, f, s.map.scale);
      out.push_back(std::move(p));
    }
  }
}

// The scale, the caption and the place of every panel: rows as tall as
// their maps, the block of rows centred in the panel area.
void place(Picture& p, const MapFrame& f, ScaleKind kind) {
  p.scale = make_scale(kind, p.values);
  p.caption = "Drawn as " + drawing_words(f);
  const std::size_t left_off = p.values.left_off;
  if (left_off > 0)
    p.caption += ", " + std::to_string(left_off) + (left_off == 1 ? " value" : " values") +
                 " left off (missing, NaN or infinite)";
  const Layout lay = layout(p.panels.size(), f);
  const double mw = (f.lon2 - f.lon1) * lay.inches_per_degree, mh = (f.lat2 - f.lat1) * lay.inches_per_degree;
  // Marks about nine tenths of the mean distance between stations, at
  // least four pixels.
  const double spacing = std::sqrt(mw * mh / static_cast<double>(std::max<std::size_t>(f.stations, 1)));
  p.mark = std::clamp(0.9 * spacing, 4.0 * kPageWidth / kPictureWidth, 0.15);
  const double row_h = std::min(lay.panel_height, mh + kHeading + 0.25);
  const double top = kPanelArea.y2 - (kPanelArea.height() - lay.rows * row_h) / 2;
  for (std::size_t i = 0; i < p.panels.size(); ++i) {
    Panel& pan = p.panels[i];
    const int row = static_cast<int>(i) / lay.cols, col = static_cast<int>(i) % lay.cols;
    const double cx = kPanelArea.x1 + (col + 0.5) * lay.panel_width, y2 = top - row * row_h - kHeading;
    pan.map = {cx - mw / 2, y2 - mh, cx + mw / 2, y2};
    if (pan.values.drawable > 0 && pan.values.min == pan.values.max) {
      // GrADS draws a field of one value in a colour of its own choosing,
      // whatever the levels: the colour of its class is given, and the
      // value written under the map.
      const auto& lv = p.scale.levels;
      pan.one_class = static_cast<int>(std::upper_bound(lv.begin(), lv.end(), pan.values.min) - lv.begin());
      pan.note = "every value " + value_text(pan.values.min);
    }
  }
}

}  // namespace

MapFrame map_frame(const Store& st, std::size_t stations, MapStyle style) {
  MapFrame f;
  const std::size_t n = std::min({stations, st.LON.extent(0), st.LAT.extent(0)});
  double lon1 = 0, lon2 = 0, lat1 = 0, lat2 = 0;
  for (std::size_t s = 0; s < n; ++s) {
    const double lon = st.LON(s), lat = st.LAT(s);
    if (!std::isfinite(lon) || !std::isfinite(lat) || lat < -90 || lat > 90) continue;
    if (f.stations == 0 || lon < lon1) lon1 = lon;
    if (f.stations == 0 || lon > lon2) lon2 = lon;
    if (f.stations == 0 || lat < lat1) lat1 = lat;
    if (f.stations == 0 || lat > lat2) lat2 = lat;
    ++f.stations;
  }
  if (f.stations == 0) {
    f.lon1 = -180, f.lon2 = 180, f.lat1 = -90, f.lat2 = 90;
    return f;
  }
  // A margin of a twentieth of the extent, at least half a degree.
  const double mx = std::max(0.05 * (lon2 - lon1), 0.5), my = std::max(0.05 * (lat2 - lat1), 0.5);
  f.lon1 = lon1 - mx, f.lon2 = lon2 + mx;
  f.lat1 = std::max(-90.0, lat1 - my), f.lat2 = std::min(90.0, lat2 + my);
  f.chosen = style != MapStyle::Auto;
  f.drawing = f.chosen ? style : f.stations > kMarkerLimit ? MapStyle::Boxes : MapStyle::Marks;
  if (!f.gridded()) return f;
  if (f.drawing == MapStyle::Boxes) {
    // About eight stations a box, so that few boxes stay empty.
    const double area = std::max(lon2 - lon1, 0.01) * std::max(lat2 - lat1, 0.01);
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
  return f;
}

std::string drawing_words(const MapFrame& f) {
  switch (f.drawing) {
    case MapStyle::Boxes:
      return "box averages of the stations on a " + value_text(f.box) + " degree grid (" +
             (f.chosen ? std::string("--maps-style=boxes") : "more than " + std::to_string(kMarkerLimit) + " stations") +
             ")";
    case MapStyle::Cressman:
      return "a Cressman analysis of the stations on a " + value_text(f.box) + " degree grid (--maps-style=cressman)";
    default:
      return f.chosen ? "one coloured mark per station (--maps-style=marks)" : "one coloured mark per station";
  }
}

Layout layout(std::size_t panels, const MapFrame& f) {
  Layout best;
  const double lon = f.lon2 - f.lon1, lat = f.lat2 - f.lat1;
  const int n = static_cast<int>(std::max<std::size_t>(panels, 1));
  for (int rows = 1; rows <= n; ++rows) {
    const int cols = (n + rows - 1) / rows;
    const double pw = kPanelArea.width() / cols, ph = kPanelArea.height() / rows;
    const double scale = std::min((pw - 0.1) / lon, (ph - kHeading - 0.05) / lat);
    if (scale > best.inches_per_degree) best = {rows, cols, pw, ph, scale};
  }
  return best;
}

std::vector<Picture> plan_pictures(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& frame) {
  std::vector<Picture> pictures;
  if (frame.stations == 0 || written.empty()) return pictures;
  const std::size_t n = written.front().stations;
  whole_series(st, written, frame, n, pictures);
  by_period(st, written, frame, n, pictures);
  return pictures;
}

}  // namespace dx
