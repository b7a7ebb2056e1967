#include "maps/explorer.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "base/error.hpp"
#include "base/labels.hpp"
#include "base/text.hpp"
#include "maps/coasts.hpp"
#include "output/catalogue.hpp"

namespace dx {

// The page and its script, from src/maps/explorer (generated source).
extern const char kExplorerHtml[];
extern const char kExplorerJs[];

namespace {

static_assert(std::endian::native == std::endian::little, "the values are written as the machine holds them");

// The coasts' points are rounded to this fraction of the map's span.
constexpr double kCoastSteps = 2000;

std::string number(double v) {
  std::array<char, 32> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  return std::string(buf.data(), r.ptr);
}

// A JavaScript array of `items`, each made by `item`.
template <class T, class F>
std::string array_of(const T& items, F item) {
  std::string out = "[";
  for (const auto& i : items) out.append(out.size() > 1 ? "," : "").append(item(i));
  return out.append("]");
}

std::string strings(const std::vector<std::string>& items) { return array_of(items, js_string); }

// `size` bytes in base64 at the end of `out`.
void append_base64(std::string& out, const void* data, std::size_t size) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t at = out.size();
  out.resize(at + (size + 2) / 3 * 4, '=');
  const auto* p = static_cast<const unsigned char*>(data);
  char* o = out.data() + at;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3, o += 4) {
    const std::uint32_t v = std::uint32_t(p[i]) << 16 | std::uint32_t(p[i + 1]) << 8 | p[i + 2];
    o[0] = kDigits[v >> 18], o[1] = kDigits[v >> 12 & 63], o[2] = kDigits[v >> 6 & 63], o[3] = kDigits[v & 63];
  }
  if (i < size) {
    const std::uint32_t v = std::uint32_t(p[i]) << 16 | (i + 1 < size ? std::uint32_t(p[i + 1]) << 8 : 0);
    o[0] = kDigits[v >> 18], o[1] = kDigits[v >> 12 & 63];
    if (i + 1 < size) o[2] = kDigits[v >> 6 & 63];
  }
}

// `n` float32 values, as they are in memory (little-endian), in base64.
void append_base64(std::string& out, const float* values, std::size_t n) {
  append_base64(out, static_cast<const void*>(values), n * sizeof(float));
}

// The values of one column of a table or time step of a data set in the
// store: station i's at first[i * stride].
struct Column {
  const float* first;
  std::size_t stride;
};

// One data set of the run, with where its values are in the store.
struct SetSource {
  const WrittenDataSet* w = nullptr;
  const Picture* picture = nullptr;
  const Array2* whole = nullptr;  // a whole-series statistic
  const Array3* by_period = nullptr;
  std::size_t period = 0;
  std::string stat, stat_title, period_words;  // how the page's selectors name it
  Column step(std::size_t k) const {
    return whole != nullptr ? Column{whole->column(k), 1} : Column{&(*by_period)(k, 0, period), by_period->extent(0)};
  }
};

// A group of the card: the values of a text table, or of one per-period
// statistic (a row per period).
struct CardGroup {
  std::string title, file;
  std::vector<std::string> columns;
  std::vector<std::string> row_labels;
  std::vector<Column> cells;  // row after row
};

const Picture& picture_of(const std::vector<Picture>& pictures, const std::string& base) {
  for (const Picture& p : pictures)
    if (p.name == base) return p;
  throw Error("the explorer needs the picture of " + base + ", which the maps do not have");
}

void need(std::size_t have, std::size_t want, const std::string& what) {
  if (have < want)
    throw Error("the explorer needs " + std::to_string(want) + " " + what + ", the store holds " +
                std::to_string(have));
}

std::vector<SetSource> set_sources(const Store& st, std::span<const WrittenDataSet> written,
                                   const std::vector<Picture>& pictures, std::size_t n) {
  std::vector<SetSource> sets;
  for (const WrittenDataSet& w : written) {
    SetSource s;
    s.w = &w, s.picture = &picture_of(pictures, w.base);
    s.stat = w.base, s.stat_title = s.picture->title;
    for (const Statistic& stat : kStatistics)
      if (stat.base == w.base) s.whole = &(st.*stat.values);
    for (const PeriodStatistic& ps : kPeriodStatistics) {
      for (std::int32_t p = 1; s.whole == nullptr && p <= st.NPERIOD; ++p) {
        if (period_base(ps.prefix, p) != w.base) continue;
        s.by_period = &(st.*ps.values), s.period = static_cast<std::size_t>(p - 1);
        s.stat = ps.prefix, s.stat_title = ps.map.group;
        s.period_words = period_words(st, s.period);
      }
    }
    if (s.whole != nullptr) {
      need(s.whole->extent(0), n, "stations of " + w.base);
      need(s.whole->extent(1), w.steps, "columns of " + w.base);
    } else if (s.by_period != nullptr) {
      need(s.by_period->extent(0), w.steps, "classes of " + w.base);
      need(s.by_period->extent(1), n, "stations of " + w.base);
      need(s.by_period->extent(2), s.period + 1, "periods of " + w.base);
    } else {
      throw Error("the explorer does not know the data set " + w.base);
    }
    sets.push_back(s);
  }
  return sets;
}

// The card: the text tables in their order, then the per-period
// statistics, a row per period.
std::vector<CardGroup> card_groups(const Store& st, const std::vector<SetSource>& sets) {
  std::vector<CardGroup> groups;
  for (const Statistic* s : statistics_in_table_order()) {
    const Array2& a = st.*s->values;  // its stations checked with its data set
    CardGroup g{std::string(trim_right(s->table_title)), std::string(s->table), {}, {""}, {}};
    for (std::size_t j = 0; j < std::min(s->names.size(), a.extent(1)); ++j)
      g.columns.push_back(std::string(trim_right(s->names[j]).substr(0, 12)));
    for (std::size_t j = 0; j < g.columns.size(); ++j) g.cells.push_back({a.column(j), 1});
    groups.push_back(std::move(g));
  }
  for (const PeriodStatistic& ps : kPeriodStatistics) {
    CardGroup g{std::string(ps.map.group), "", {}, {}, {}};
    for (const SetSource& s : sets) {
      if (s.by_period != &(st.*ps.values)) continue;
      if (g.columns.empty())
        for (std::size_t k = 0; k < s.w->steps; ++k) g.columns.push_back(period_class(k));
      g.row_labels.push_back(s.w->base);
      for (std::size_t k = 0; k < g.columns.size(); ++k) g.cells.push_back(s.step(k));
    }
    if (!g.row_labels.empty()) groups.push_back(std::move(g));
  }
  return groups;
}

std::string scale_text(const Scale& sc) {
  return "levels:" + array_of(sc.levels, number) + ",colours:" +
         array_of(sc.colours,
                  [](const Rgb& c) {
                    char buf[8];
                    static_cast<void>(std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c.r & 255, c.g & 255, c.b & 255));
                    return js_string(buf);
                  }) +
         ",labels:" + strings(sc.labels) + ",low:" + js_string(sc.low) + ",high:" + js_string(sc.high);
}

std::string frame_text(const MapFrame& fr) {
  const char* projection = fr.projection == Projection::NorthPolar   ? "north"
                           : fr.projection == Projection::SouthPolar ? "south"
                                                                     : "latlon";
  return "{lon1:" + number(fr.lon1) + ",lon2:" + number(fr.lon2) + ",lat1:" + number(fr.lat1) +
         ",lat2:" + number(fr.lat2) + ",projection:" + js_string(projection) + ",aspect:" + number(fr.aspect) + "}";
}

std::string coasts_text(const MapFrame& fr) {
  const std::string detail = coast_detail(fr), path = map_data_folder() + "/" + detail;
  std::string bytes;
  if (const int err = read_file(AT_FDCWD, path, bytes); err != 0)
    throw Error("cannot read GrADS' map data " + path + ": " + system_reason(err));
  const double step = frame_span(fr) / kCoastSteps;
  return "{detail:" + js_string(detail) + ",step:" + number(step) +
         ",lines:" + coast_extract(read_map_lines(bytes, path), fr, step) + "}";
}

std::string meta_text(const Store& st, const MapFrame& fr, const std::vector<SetSource>& sets,
                      const std::vector<CardGroup>& groups, std::size_t n) {
  std::string m = "DX.meta({stations:" + std::to_string(n) + ",unusable:" + std::to_string(fr.unusable) +
                  ",block:" + std::to_string(kCardBlock) + ",frame:" + frame_text(fr) + ",coasts:" + coasts_text(fr);
  need(st.LON.extent(0), n, "longitudes");
  need(st.LAT.extent(0), n, "latitudes");
  m += ",lon:\"";
  append_base64(m, st.LON.data(), n);
  m += "\",lat:\"";
  append_base64(m, st.LAT.data(), n);
  m += "\",reg:\"";
  if (st.REG.extent(0) >= n) append_base64(m, st.REG.data(), n);
  m += "\",sets:[";
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const Picture& p = *sets[i].picture;
    std::vector<std::string> headings;
    for (std::size_t k = 0; k < sets[i].w->steps; ++k)
      headings.push_back(k < p.panels.size() ? p.panels[k].heading : "time step " + std::to_string(k + 1));
    m += std::string(i > 0 ? "," : "") + "{base:" + js_string(sets[i].w->base) + ",title:" + js_string(p.title) +
         ",stat:" + js_string(sets[i].stat) + ",statTitle:" + js_string(sets[i].stat_title) +
         ",period:" + js_string(sets[i].period_words) + ",quantity:" + js_string(p.quantity) +
         ",steps:" + std::to_string(sets[i].w->steps) + ",headings:" + strings(headings) + "," + scale_text(p.scale) +
         "}";
  }
  m += "],groups:[";
  std::size_t offset = 0;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const CardGroup& g = groups[i];
    m += std::string(i > 0 ? "," : "") + "{title:" + js_string(g.title) + ",file:" + js_string(g.file) +
         ",columns:" + strings(g.columns) + ",rows:" + strings(g.row_labels) + ",offset:" + std::to_string(offset) +
         "}";
    offset += g.cells.size();
  }
  return m + "],record:" + std::to_string(offset) + "});\n";
}

}  // namespace

std::string js_string(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool separator = c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                           (static_cast<unsigned char>(text[i + 2]) & 0xfe) == 0xa8;
    if (c < 0x20 || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&' || c == 0x7f || separator) {
      char buf[8];
      const unsigned code = separator ? 0x2028u + (static_cast<unsigned char>(text[i + 2]) & 1u) : c;
      static_cast<void>(std::snprintf(buf, sizeof buf, "\\u%04x", code));
      out.append(buf);
      if (separator) i += 2;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out.append("\"");
}

std::string base64(std::string_view bytes) {
  std::string out;
  append_base64(out, bytes.data(), bytes.size());
  return out;
}

void write_explorer(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& frame,
                    const std::vector<Picture>& pictures, const FileOps& ops, const OutputFolder& f,
                    const std::string& folder) {
  const std::size_t n = written.empty() ? 0 : written.front().stations;
  const std::vector<SetSource> sets = set_sources(st, written, pictures, n);
  const std::vector<CardGroup> groups = card_groups(st, sets);
  const std::string dir = folder + "/" + kExplorerFolder + "/";
  make_folder(ops, f, folder + "/" + kExplorerFolder);
  write_new_file(ops, f, folder + "/explorer.html", kExplorerHtml);
  write_new_file(ops, f, dir + "explorer.js", kExplorerJs);
  write_new_file(ops, f, dir + "meta.js", meta_text(st, frame, sets, groups, n));

  // The values of a time step of a data set.
  std::vector<float> values;
  std::string text;
  for (const SetSource& s : sets) {
    values.resize(n);
    for (std::size_t k = 0; k < s.w->steps; ++k) {
      const Column c = s.step(k);
      for (std::size_t i = 0; i < n; ++i) values[i] = c.first[i * c.stride];
      const std::string step = std::to_string(k + 1);
      text.assign("DX.loaded(").append(js_string(s.w->base)).append(",").append(step).append(",\"");
      append_base64(text, values.data(), n);
      write_new_file(ops, f, dir + "set-" + s.w->base + "-" + step + ".js", text.append("\");\n"));
    }
  }
  // The card values of a block of stations, station after station; taken
  // from the store a column at a time.
  std::vector<Column> record;
  for (const CardGroup& g : groups) record.insert(record.end(), g.cells.begin(), g.cells.end());
  for (std::size_t first = 0, block = 0; first < n; first += kCardBlock, ++block) {
    const std::size_t end = std::min(n, first + kCardBlock);
    values.resize((end - first) * record.size());
    for (std::size_t c = 0; c < record.size(); ++c)
      for (std::size_t i = first; i < end; ++i)
        values[(i - first) * record.size() + c] = record[c].first[i * record[c].stride];
    text.assign("DX.card(").append(std::to_string(block)).append(",\"");
    append_base64(text, values.data(), values.size());
    write_new_file(ops, f, dir + "card-" + std::to_string(block) + ".js", text.append("\");\n"));
  }
}

}  // namespace dx
