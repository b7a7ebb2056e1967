#include "maps/pictures.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <span>
#include <string_view>

#include "base/labels.hpp"

namespace dx {
namespace {

// The eleven named data sets: what they hold, in words, and their scale.
struct Statistic {
  std::string_view base, var, table;
  Array2 Store::*values;
  std::int32_t Store::*ncol;
  std::span<const std::string_view> headings;
  std::string_view group, title;
  ScaleKind kind;
};

const std::array<Statistic, 11> kStatistics{{
    {"Num_Dr_Mon", "Dr_Mon", "Num_Dr_Mon.txt", &Store::NUM_DR_MON, &Store::NCOL_DRM, VARN, "Drought months",
     "Number of drought months, whole series", ScaleKind::Sequential},
    {"Sensl", "Sensl", "Sensl.txt", &Store::SENSL, &Store::NCOL_IDX, IDX_NAME, "Sen's slope", "Sen's slope",
     ScaleKind::Diverging},
    {"Prob", "Prob", "Prob_Sensl.txt", &Store::PROB, &Store::NCOL_IDX, IDX_NAME, "Sen's slope",
     "p-value of Sen's slope", ScaleKind::PValue},
    {"Spell_Ave", "Spell_Ave", "Spell_Ave.txt", &Store::SPELL_AVE, &Store::NCLASS, VARN, "Drought spells",
     "Mean length of a drought spell (months)", ScaleKind::Sequential},
    {"Spell_Max", "Spell_Max", "Spell_Max.txt", &Store::SPELL_MAX, &Store::NCLASS, VARN, "Drought spells",
     "Longest drought spell (months)", ScaleKind::Sequential},
    {"Time_Arr_Ave", "Time_Arr_Ave", "Time_Interval_Ave.txt", &Store::TIME_ARR_AVE, &Store::NCLASS, VARN,
     "Time between droughts", "Mean time between two droughts (months)", ScaleKind::Sequential},
    {"Time_Arr_Max", "Time_Arr_Max", "Time_Interval_Max.txt", &Store::TIME_ARR_MAX, &Store::NCLASS, VARN,
     "Time between droughts", "Longest time between two droughts (months)", ScaleKind::Sequential},
    {"Fre_all", "Fre_all", "Fre_all.txt", &Store::FRE_ALL, &Store::NCLASS, VARN, "Drought frequency",
     "Drought frequency, whole series (%)", ScaleKind::Sequential},
    {"Mag_all", "Mag_all", "Mag_all.txt", &Store::MAG_ALL, &Store::NCLASS, VARN, "Drought magnitude",
     "Drought magnitude, whole series", ScaleKind::Sequential},
    {"Corre", "Corre", "Corre_IDX.txt", &Store::TQ, &Store::NPAIR, COR_NAME, "Correlation between indices",
     "Correlation between two drought indices", ScaleKind::Diverging},
    {"Prob1", "Prob1", "Prob_Corre_IDX.txt", &Store::PROB1, &Store::NPAIR, COR_NAME, "Correlation between indices",
     "p-value of the correlation between two drought indices", ScaleKind::PValue},
}};

// The per-period sets: frequency and magnitude.
struct PeriodStatistic {
  std::string_view prefix, var;
  Array3 Store::*values;
  std::string_view group, title;  // the title goes on with the period or the class
};
const std::array<PeriodStatistic, 2> kPeriodStatistics{{
    {"Fre_", "Fre", &Store::FRE, "Drought frequency", "Drought frequency"},
    {"Mag_", "Mag", &Store::MAG, "Drought magnitude", "Drought magnitude"},
}};

std::string two_digits(std::int32_t p) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", static_cast<int>(p));
  return buf;
}

std::size_t stations(const Store& st) {
  return std::min<std::size_t>(static_cast<std::size_t>(std::max(st.NSTN, 0)),
                               std::min(st.LON.extent(0), st.LAT.extent(0)));
}

// Columns that a whole-series set has and its array holds.
std::int32_t columns(const Store& st, const Statistic& s) {
  return static_cast<std::int32_t>(std::min<std::int64_t>(std::max(st.*s.ncol, 0), (st.*s.values).extent(1)));
}
std::int32_t periods(const Store& st) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>({std::max<std::int64_t>(st.NPERIOD, 0), static_cast<std::int64_t>(st.FRE.extent(2)),
                              static_cast<std::int64_t>(st.MAG.extent(2))}));
}
std::int32_t classes(const Store& st) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>({std::max<std::int64_t>(st.NCLASS, 0), static_cast<std::int64_t>(st.FRE.extent(0)),
                              static_cast<std::int64_t>(st.MAG.extent(0))}));
}

std::string heading(std::span<const std::string_view> names, std::int32_t k) {
  return k < static_cast<std::int32_t>(names.size()) ? std::string(names[k]) : "column " + std::to_string(k + 1);
}

std::string station_words(std::size_t n) { return std::to_string(n) + (n == 1 ? " station" : " stations"); }

// Adds a panel with the values of one column of stations.
void add_panel(Picture& p, std::string heading, std::size_t set, int step, std::span<const float> values) {
  ValueRange r;
  r.add(values);
  p.range.drawable += r.drawable;
  p.range.left_off += r.left_off;
  if (r.drawable > 0) {
    p.range.min = p.range.drawable == r.drawable ? r.min : std::min(p.range.min, r.min);
    p.range.max = p.range.drawable == r.drawable ? r.max : std::max(p.range.max, r.max);
  }
  p.panels.push_back({std::move(heading), set, step, r.drawable > 0, r.min, r.max});
}

// Class k of every station in period p of a per-period array.
std::vector<float> period_column(const Array3& a, std::size_t n, std::int32_t k, std::int32_t p) {
  std::vector<float> v(n);
  for (std::size_t s = 0; s < n; ++s) v[s] = a(k, s, p);
  return v;
}

std::string fmt(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", x);
  std::string s(buf);
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

// A GrADS command as a string of the script (double quotes for a text
// with an apostrophe, such as "Sen's slope").
std::string quoted(const std::string& c) {
  const char q = c.find('\'') == std::string::npos ? '\'' : '"';
  return q + c + q;
}
// One GrADS command.
std::string cmd(const std::string& c) { return quoted(c) + "\n"; }
// A GrADS command whose failure ends the script.
std::string checked(const std::string& c) { return "run(" + quoted(c) + ")\n"; }

// Panels laid out in rows and columns over the page area, each map as
// large as the region's shape allows.
struct Layout {
  int rows = 1, cols = 1;
  double pw = 0, ph = 0;  // panel size, inches
  double scale = 0;       // inches per degree of the maps
};
constexpr double kAreaX1 = 0.3, kAreaX2 = 10.7, kAreaY1 = 1.3, kAreaY2 = 7.45;
constexpr double kHeading = 0.22;  // room for a panel's heading

Layout layout(std::size_t n, const MapFrame& f) {
  Layout best;
  const double lon = f.lon2 - f.lon1, lat = f.lat2 - f.lat1;
  for (int rows = 1; rows <= static_cast<int>(std::max<std::size_t>(n, 1)); ++rows) {
    const int cols = static_cast<int>((std::max<std::size_t>(n, 1) + rows - 1) / rows);
    const double pw = (kAreaX2 - kAreaX1) / cols, ph = (kAreaY2 - kAreaY1) / rows;
    const double scale = std::min((pw - 0.1) / lon, (ph - kHeading - 0.05) / lat);
    if (scale > best.scale) best = {rows, cols, pw, ph, scale};
  }
  return best;
}

}  // namespace

std::vector<MapDataSet> map_data_sets(const Store& st) {
  std::vector<MapDataSet> sets;
  for (const Statistic& s : kStatistics)
    sets.push_back({std::string(s.base), std::string(s.var), std::string(s.table), count_to_size(columns(st, s))});
  for (std::int32_t p = 1; p <= periods(st); ++p)
    for (const PeriodStatistic& s : kPeriodStatistics)
      sets.push_back({std::string(s.prefix) + two_digits(p), std::string(s.var), "", count_to_size(classes(st))});
  return sets;
}

std::vector<Picture> plan_pictures(const Store& st) {
  const std::size_t n = stations(st);
  std::vector<Picture> pictures;
  for (const Statistic& s : kStatistics) {
    Picture p;
    p.name = std::string(s.base);
    p.group = std::string(s.group);
    p.title = std::string(s.title);
    p.subtitle = p.name + ", " + station_words(n);
    p.kind = s.kind;
    p.sets.push_back({p.name, std::string(s.var), std::string(s.table), count_to_size(columns(st, s))});
    const Array2& a = st.*s.values;
    const std::size_t rows = std::min(n, a.extent(0));
    for (std::int32_t k = 0; k < columns(st, s); ++k)
      add_panel(p, heading(s.headings, k), 0, k + 1, std::span<const float>(a.column(k), rows));
    pictures.push_back(std::move(p));
  }
  const std::int32_t np = periods(st), nc = classes(st);
  const std::size_t rows = std::min(n, std::min(st.FRE.extent(1), st.MAG.extent(1)));
  for (std::int32_t per = 0; per < np; ++per) {
    for (const PeriodStatistic& s : kPeriodStatistics) {
      Picture p;
      p.name = std::string(s.prefix) + two_digits(per + 1);
      p.group = std::string(s.group);
      p.title = std::string(s.title) + ", period " + std::to_string(per + 1) + (s.var == "Fre" ? " (%)" : "");
      p.subtitle = p.name + ", " + station_words(n);
      p.sets.push_back({p.name, std::string(s.var), "", count_to_size(nc)});
      for (std::int32_t k = 0; k < nc; ++k)
        add_panel(p, heading(VARN, k), 0, k + 1, period_column(st.*s.values, rows, k, per));
      pictures.push_back(std::move(p));
    }
  }
  for (const PeriodStatistic& s : kPeriodStatistics) {
    if (np == 0) break;
    for (std::int32_t k = 0; k < nc; ++k) {
      Picture p;
      const std::string cls = heading(VARN, k);
      p.name = std::string(s.prefix) + cls;
      p.group = std::string(s.group) + " by period";
      p.title = std::string(s.title) + " by period, " + cls + (s.var == "Fre" ? " (%)" : "");
      p.subtitle = std::string(s.prefix) + "01 to " + std::string(s.prefix) + two_digits(np) + ", time step " +
                   std::to_string(k + 1) + ", " + station_words(n);
      for (std::int32_t per = 0; per < np; ++per) {
        p.sets.push_back({std::string(s.prefix) + two_digits(per + 1), std::string(s.var), "", count_to_size(nc)});
        add_panel(p, "period " + std::to_string(per + 1), static_cast<std::size_t>(per), k + 1,
                  period_column(st.*s.values, rows, k, per));
      }
      pictures.push_back(std::move(p));
    }
  }
  return pictures;
}

MapFrame map_frame(const Store& st, MapStyle style) {
  MapFrame f;
  const std::size_t n = stations(st);
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
  if (f.gridded()) {
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
  }
  return f;
}

std::string drawing_words(const MapFrame& f) {
  switch (f.drawing) {
    case MapStyle::Boxes:
      return "box averages of the stations on a " + fmt(f.box) + " degree grid (" +
             (f.chosen ? std::string("--maps-style=boxes") : "more than " + std::to_string(kMarkerLimit) + " stations") +
             ")";
    case MapStyle::Cressman:
      return "a Cressman analysis of the stations on a " + fmt(f.box) + " degree grid (--maps-style=cressman)";
    default:
      return f.chosen ? "one coloured mark per station (--maps-style=marks)" : "one coloured mark per station";
  }
}

std::string grid_descriptor(const MapFrame& f) {
  return "dset ^grid.dat\n"
         "undef -9999.0\n"
         "title Grid of the maps\n"
         "xdef " + std::to_string(f.grid_nx) + " linear " + fmt(f.grid_lon) + " " + fmt(f.box) + "\n" +
         "ydef " + std::to_string(f.grid_ny) + " linear " + fmt(f.grid_lat) + " " + fmt(f.box) + "\n" +
         "zdef 1 levels 1\n"
         "tdef 1 linear jan1980 1mo\n"
         "vars 1\n"
         "grid 0 99 grid\n"
         "endvars\n";
}

namespace {

// The colours of a scale as GrADS colour numbers 20, 21, ..., and the
// `ccols` and `clevs` lists that refer to them.
struct ScaleCommands {
  std::string rgb, ccols, clevs;
};
ScaleCommands scale_commands(const Scale& scale) {
  ScaleCommands sc;
  for (std::size_t i = 0; i < scale.colours.size(); ++i) {
    const Rgb& c = scale.colours[i];
    sc.rgb += cmd("set rgb " + std::to_string(20 + i) + " " + std::to_string(c.r) + " " + std::to_string(c.g) + " " +
                  std::to_string(c.b));
    sc.ccols += (i ? " " : "") + std::to_string(20 + i);
  }
  for (std::size_t i = 0; i < scale.levels.size(); ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", scale.levels[i]);
    sc.clevs += (i ? " " : "") + std::string(buf);
  }
  return sc;
}

// Where a panel goes on the page, in inches: its column centre, the top of
// its map, and the map's size.
struct PanelPlace {
  double cx, top, mw, mh;
};

// The commands of one panel: its heading, then its map, or a frame with
// "no values".
std::string panel_script(const Picture& p, const MapFrame& f, const Panel& pan, const PanelPlace& at,
                         const Scale& scale, const ScaleCommands& sc, double mark) {
  const double cx = at.cx, my2 = at.top, mw = at.mw, mh = at.mh;
  std::string gs = cmd("set string 1 c 4") + cmd("set strsiz 0.11") +
                   cmd("draw string " + fmt(cx) + " " + fmt(my2 + kHeading / 2) + " " + pan.heading);
  if (!pan.drawable) {
    gs += cmd("set line 1 1 1") +
          cmd("draw rec " + fmt(cx - mw / 2) + " " + fmt(my2 - mh) + " " + fmt(cx + mw / 2) + " " + fmt(my2));
    gs += cmd("set strsiz 0.09") + cmd("draw string " + fmt(cx) + " " + fmt(my2 - mh / 2) + " no values");
    return gs;
  }
  // The map area exactly: GrADS would centre a map in a larger one, away
  // from its heading.
  gs += cmd("set parea " + fmt(cx - mw / 2) + " " + fmt(cx + mw / 2) + " " + fmt(my2 - mh) + " " + fmt(my2));
  gs += cmd("set dfile " + std::to_string(pan.set + 1)) + cmd("set t " + std::to_string(pan.step)) +
        cmd("set lon " + fmt(f.lon1) + " " + fmt(f.lon2)) + cmd("set lat " + fmt(f.lat1) + " " + fmt(f.lat2));
  gs += cmd("set clevs " + sc.clevs) + cmd("set ccols " + sc.ccols);
  if (pan.min == pan.max) {
    // GrADS draws a field of one value in a colour of its own choosing,
    // whatever the levels: the colour of its class is given, and the value
    // written under the map.
    const auto cls = std::upper_bound(scale.levels.begin(), scale.levels.end(), pan.min) - scale.levels.begin();
    char value[32];
    std::snprintf(value, sizeof value, "%.6g", pan.min);
    gs += cmd("set ccolor " + std::to_string(20 + cls)) + cmd("set strsiz 0.08") +
          cmd("draw string " + fmt(cx) + " " + fmt(my2 - mh - 0.08) + " every value " + value);
  }
  const std::string var = p.sets[pan.set].var + "." + std::to_string(pan.set + 1);
  if (f.gridded()) {
    const std::string grid = "grid." + std::to_string(p.sets.size() + 1) + "(t=1)";
    if (f.drawing == MapStyle::Boxes)
      gs += cmd("set gxout grfill") + checked("d oabin(" + grid + ", " + var + ")");
    else
      gs += cmd("set gxout shaded") + checked("d oacres(" + grid + ", " + var + ")");
  } else {
    gs += cmd("set gxout stnmark") + cmd("set cmark 3") + cmd("set digsiz " + fmt(mark));
    gs += checked("d " + var);
  }
  // The coasts once, above the marks.
  return gs + cmd("set mpdraw on") + cmd("draw map") + cmd("set mpdraw off");
}

// Every panel of a picture, in rows as tall as their maps, the block of
// rows centred on the page.
std::string panels_script(const Picture& p, const MapFrame& f, const Scale& scale, const ScaleCommands& sc) {
  const Layout lay = layout(p.panels.size(), f);
  // Marks about nine tenths of the mean distance between stations, at
  // least four pixels.
  const double map_area = (f.lon2 - f.lon1) * (f.lat2 - f.lat1) * lay.scale * lay.scale;
  const double spacing = std::sqrt(map_area / static_cast<double>(std::max<std::size_t>(f.stations, 1)));
  const double mark = std::clamp(0.9 * spacing, 4.0 * 11.0 / kPictureWidth, 0.15);
  const double row_h = std::min(lay.ph, (f.lat2 - f.lat1) * lay.scale + kHeading + 0.25);
  const double top = kAreaY2 - ((kAreaY2 - kAreaY1) - lay.rows * row_h) / 2;
  std::string gs;
  for (std::size_t i = 0; i < p.panels.size(); ++i) {
    const Panel& pan = p.panels[i];
    const int row = static_cast<int>(i) / lay.cols, col = static_cast<int>(i) % lay.cols;
    const double x1 = kAreaX1 + col * lay.pw;
    const PanelPlace at{x1 + lay.pw / 2, top - row * row_h - kHeading, (f.lon2 - f.lon1) * lay.scale,
                        (f.lat2 - f.lat1) * lay.scale};
    gs += "\n* Panel " + std::to_string(i + 1) + ": " + pan.heading + " (" + p.sets[pan.set].base + ", time step " +
          std::to_string(pan.step) + ")\n";
    gs += panel_script(p, f, pan, at, scale, sc, mark);
  }
  return gs;
}

// Title, subtitle, caption and the colour bar: one box per colour, the
// class boundaries below.
std::string frame_script(const Picture& p, const MapFrame& f, const Scale& scale) {
  std::string gs = "\n* Title, subtitle and caption\n";
  gs += cmd("set string 1 c 6") + cmd("set strsiz 0.2") + cmd("draw string 5.5 8.15 " + p.title);
  gs += cmd("set string 1 c 3") + cmd("set strsiz 0.13") + cmd("draw string 5.5 7.8 " + p.subtitle);
  std::string caption = "Drawn as " + drawing_words(f);
  if (p.range.left_off > 0)
    caption += ", " + std::to_string(p.range.left_off) + (p.range.left_off == 1 ? " value" : " values") +
               " left off (missing, NaN or infinite)";
  gs += cmd("set strsiz 0.1") + cmd("draw string 5.5 0.15 " + caption);

  gs += "\n* The colour bar, one box per colour, the class boundaries below\n";
  const double bx1 = 2.0, bx2 = 9.0, by1 = 0.55, by2 = 0.8;
  const double w = (bx2 - bx1) / static_cast<double>(scale.colours.size());
  gs += cmd("set strsiz 0.1") + cmd("set string 1 c 3");
  for (std::size_t i = 0; i < scale.colours.size(); ++i) {
    const double a = bx1 + static_cast<double>(i) * w;
    gs += cmd("set line " + std::to_string(20 + i)) +
          cmd("draw recf " + fmt(a) + " " + fmt(by1) + " " + fmt(a + w) + " " + fmt(by2));
    gs += cmd("set line 1 1 1") + cmd("draw rec " + fmt(a) + " " + fmt(by1) + " " + fmt(a + w) + " " + fmt(by2));
    if (i > 0) gs += cmd("draw string " + fmt(a) + " 0.42 " + scale.labels[i - 1]);
  }
  if (!scale.low.empty()) gs += cmd("draw string " + fmt(bx1) + " 0.42 " + scale.low);
  if (!scale.high.empty()) gs += cmd("draw string " + fmt(bx2) + " 0.42 " + scale.high);
  return gs;
}

}  // namespace

std::string picture_script(const Picture& p, const MapFrame& f) {
  const Scale scale = make_scale(p.kind, p.range);
  const ScaleCommands sc = scale_commands(scale);
  std::string gs;
  gs += "* " + p.title + "\n* " + p.subtitle + "\n";
  gs += "* Drawn by drought-export with GrADS; run in the output folder, beside the\n"
        "* station maps (NAME.dat.map), it draws maps/" + p.name + ".png again:\n"
        "*   grads -blcx \"run maps/" + p.name + ".gs\"\n\n";
  for (std::size_t i = 0; i < p.sets.size(); ++i) gs += checked("open " + p.sets[i].base + ".ctl");
  if (f.gridded()) gs += checked("open maps/grid.ctl");
  gs += cmd("set display color white") + cmd("c") + cmd("set grads off") + cmd("set mpdset hires") +
        cmd("set map 1 1 1") + cmd("set mpdraw off") + cmd("set xlab off") + cmd("set ylab off") + cmd("set grid off");
  gs += "\n* The colour scale: one colour per class of value\n" + sc.rgb;
  gs += panels_script(p, f, scale, sc);
  gs += frame_script(p, f, scale);
  gs += "\n" + checked("gxprint maps/" + p.name + ".png x" + std::to_string(kPictureWidth) + " y" +
                       std::to_string(kPictureHeight) + " white");
  gs += "say 'DX-DONE'\n'quit'\n\n";
  gs += "* Runs a GrADS command; at a failure prints it with GrADS' message and quits.\n"
        "function run(command)\n"
        "  command\n"
        "  if (rc != 0)\n"
        "    say 'DX-FAIL 'command\n"
        "    say result\n"
        "    'quit'\n"
        "  endif\n"
        "return\n";
  return gs;
}

}  // namespace dx
