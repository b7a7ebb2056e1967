#include "output/grads.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/format.hpp"
#include "base/text.hpp"
#include "output/atomic_file.hpp"
#include "output/out_file.hpp"

namespace dx {
namespace {

// A station report: id (8), lat, lon, time offset, level count, surface
// flag, value.  The terminator of a time group is a report header with a
// level count of 0 and no value.
constexpr std::size_t kReportSize = 32;
constexpr std::size_t kTerminatorSize = 28;
constexpr std::size_t kIdOff = 0, kLatOff = 8, kLonOff = 12, kTimeOff = 16, kLevOff = 20, kFlagOff = 24, kValueOff = 28;
constexpr std::size_t kIdLen = std::tuple_size_v<StationId>;

// The data file is little-endian whatever the host's byte order.
constexpr std::uint32_t to_little(std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    return v;
  } else {
    return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
  }
}
inline void put_u32(char* dst, std::uint32_t v) {
  const std::uint32_t le = to_little(v);
  std::memcpy(dst, &le, 4);
}
inline void put_f32(char* dst, float v) { put_u32(dst, std::bit_cast<std::uint32_t>(v)); }
inline void put_i32(char* dst, std::int32_t v) { put_u32(dst, static_cast<std::uint32_t>(v)); }

// Writes a report header (everything but the value) at dst.
void put_header(char* dst, const StationId& id, float lat, float lon, std::int32_t levels) {
  std::memcpy(dst + kIdOff, id.data(), kIdLen);
  put_f32(dst + kLatOff, lat);
  put_f32(dst + kLonOff, lon);
  put_f32(dst + kTimeOff, 0.0f);
  put_i32(dst + kLevOff, levels);
  put_i32(dst + kFlagOff, 1);
}

// The id is the first eight characters of the station name, blank-padded.
StationId station_id(std::string_view name) {
  StationId id;
  id.fill(' ');
  std::memcpy(id.data(), name.data(), std::min(name.size(), kIdLen));
  return id;
}

// Returns the bytes written.
std::uint64_t write_data_file(OutputSink& sink, std::span<const std::string> stations, StationId& last_stn_id,
                              const std::string& path, const Array2& data, const Array1& lon, const Array1& lat,
                              std::size_t nstn, std::size_t ncol) {
  OutFile out(sink, path);
  std::uint64_t written = 0;
  if (ncol > 0) {
    // The station part of every report is the same in every time group:
    // build one group once, then per column patch only the values.  There
    // are two group buffers, so that one can be filled while the other is
    // being written behind; every byte of a group is written before the
    // group is.
    const std::size_t group_size = nstn * kReportSize + kTerminatorSize;
    char* const first = sink.reusable(0, group_size);
    StationId last_id = last_stn_id;
    float last_lat = 0.0f, last_lon = 0.0f;
    for (std::size_t j = 0; j < nstn; ++j) {
      last_id = station_id(stations[j]);
      last_lat = lat(j);
      last_lon = lon(j);
      put_header(first + j * kReportSize, last_id, last_lat, last_lon, 1);
    }
    put_header(first + nstn * kReportSize, last_id, last_lat, last_lon, 0);
    if (ncol > 1) std::memcpy(sink.reusable(1, group_size), first, group_size);

    for (std::size_t k = 0; k < ncol; ++k) {
      const std::size_t slot = k % 2;
      char* const group = sink.reusable(slot, group_size);
      const float* col = nstn > 0 ? data.column(k) : nullptr;
      char* p = group + kValueOff;
      for (std::size_t j = 0; j < nstn; ++j, p += kReportSize) put_f32(p, col[j]);
      out.write_reusable(slot, group_size);
      written += group_size;
    }
    // Only a report actually written changes the id a later terminator repeats.
    if (nstn > 0) last_stn_id = last_id;
  }
  out.commit();
  return written;
}

// The lines of a descriptor of the data file ^<name>.dat: `placement`
// (how the values lie in the file: station reports, or a grid) after its
// first line, `title`, `ncol` time steps of one variable `var`.
void descriptor_lines(std::string& b, std::string_view name, std::span<const std::string> placement,
                      std::string_view title, std::string_view var, std::int32_t ncol) {
  static const Format kA = Format::parse("(A)");
  static const Format kAF = Format::parse("(A,F8.1)");
  static const Format kTdef = Format::parse("(A,I3,1X,A)");
  const auto line = [&b](const Format& f, std::initializer_list<Value> items) {
    write_line(f, std::span<const Value>(items.begin(), items.size()), b);
  };
  // The data file is named relative to the descriptor ("^").
  line(kA, {Value::text("dset  ^" + std::string(name) + ".dat")});
  for (const std::string& l : placement) line(kA, {Value::text(l)});
  line(kAF, {Value::text("undef   "), Value::real(kMissingValue)});
  line(kA, {Value::text("title   " + std::string(title))});
  line(kTdef, {Value::text("tdef  "), Value::integer(ncol), Value::text("linear jan1980 1mo")});
  line(kA, {Value::text("vars   1")});
  line(kA, {Value::text(std::string(var) + " 0 99 Factor")});
  line(kA, {Value::text("endvars")});
}

void write_descriptor(OutputSink& sink, const std::string& path, std::string_view name, std::string_view var,
                      std::int32_t ncol) {
  // The station map, too, is named relative to the descriptor.
  const std::array<std::string, 2> placement{"dtype station", "stnmap ^" + std::string(name) + ".dat.map"};
  OutFile out(sink, path);
  descriptor_lines(out.buffer(), name, placement, "Factor Analysis", var, ncol);
  out.commit();
}

// A big-endian 32-bit integer, as in a station map.
void put_big(std::string& out, std::uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, 4);
}

// The station map of a data file whose time group k holds counts[k]
// reports: the header, the time count, the most values in one report (0
// when there is no report at all), then the start of every time group,
// then its report count (the terminators are not reports).
std::string station_map(std::span<const std::size_t> counts, const std::string& map_path) {
  constexpr std::uint64_t kMaxOffset = 0x7FFFFFFF;
  if (counts.empty()) throw Error("cannot build the station map " + map_path + ": the data set has no time step");
  std::string map("GrADS_stnmapV002");
  put_big(map, static_cast<std::uint32_t>(counts.size()));
  put_big(map, std::any_of(counts.begin(), counts.end(), [](std::size_t c) { return c > 0; }) ? 1 : 0);
  std::uint64_t start = 0;
  for (const std::size_t c : counts) {
    if (start > kMaxOffset || c > kMaxOffset)
      throw Error("cannot build the station map " + map_path + ": the data set is larger than the 2 GiB " +
                  "a GrADS station map can address");
    put_big(map, static_cast<std::uint32_t>(start));
    start += grads_data_size(c, 1);
  }
  for (const std::size_t c : counts) put_big(map, static_cast<std::uint32_t>(c));
  return map;
}

}  // namespace

std::uint64_t grads_data_size(std::size_t nstn, std::size_t ncol) {
  return static_cast<std::uint64_t>(ncol) * (static_cast<std::uint64_t>(nstn) * kReportSize + kTerminatorSize);
}

std::string grads_grid_descriptor(std::string_view name, std::size_t nx, double lon1, std::size_t ny, double lat1,
                                  double step) {
  char xdef[96], ydef[96];
  std::snprintf(xdef, sizeof xdef, "xdef %zu linear %.10g %.10g", nx, lon1, step);
  std::snprintf(ydef, sizeof ydef, "ydef %zu linear %.10g %.10g", ny, lat1, step);
  const std::array<std::string, 3> placement{xdef, ydef, "zdef 1 levels 1"};
  std::string b;
  descriptor_lines(b, name, placement, "Grid of the maps", name, 1);
  return b;
}

std::string grads_station_map(std::size_t nstn, std::size_t ncol, const std::string& map_path) {
  return station_map(std::vector<std::size_t>(ncol, nstn), map_path);
}

StationSubset grads_station_subset(std::string_view name, std::span<const std::string> stations, const Array1& lon,
                                   const Array1& lat, std::span<const std::vector<StationReport>> steps,
                                   const std::string& map_path) {
  StationSubset set;
  std::vector<std::size_t> counts;
  StationId id{};
  float last_lat = 0.0f, last_lon = 0.0f;
  char report[kReportSize];
  for (const std::vector<StationReport>& step : steps) {
    for (const StationReport& r : step) {
      if (r.station >= stations.size() || r.station >= lon.size() || r.station >= lat.size())
        throw Error("cannot build " + map_path + ": station " + std::to_string(r.station + 1) + " is not in the store");
      id = station_id(stations[r.station]);
      last_lat = lat(r.station), last_lon = lon(r.station);
      put_header(report, id, last_lat, last_lon, 1);
      put_f32(report + kValueOff, r.value);
      set.data.append(report, kReportSize);
    }
    put_header(report, id, last_lat, last_lon, 0);
    set.data.append(report, kTerminatorSize);
    counts.push_back(step.size());
  }
  const std::array<std::string, 2> placement{"dtype station", "stnmap ^" + std::string(name) + ".dat.map"};
  descriptor_lines(set.descriptor, name, placement, "Stations drawn by the maps", name,
                   static_cast<std::int32_t>(steps.size()));
  set.map = station_map(counts, map_path);
  return set;
}

WrittenDataSet write_grads_stn(OutputSink& sink, std::span<const std::string> stations, StationId& last_id,
                               const Array2& data, const Array1& lon, const Array1& lat, std::int32_t nstn,
                               std::int32_t ncol, std::string_view base, std::string_view dir, std::string_view var) {
  const std::string_view name = trim_right(base);
  const std::string stem = std::string(trim_right(dir)) + std::string(name);
  const std::string dat_path = stem + ".dat";
  const std::string ctl_path = stem + ".ctl";

  // Argument checks: a mismatch is a programming error, but it must never
  // read outside an array.
  const std::size_t rows = count_to_size(nstn);
  const std::size_t cols = count_to_size(ncol);
  if (rows > 0 && cols > 0) {
    if (stations.size() < rows || lon.size() < rows || lat.size() < rows)
      throw Error("GrADS data set " + dat_path + ": " + std::to_string(rows) +
                  " stations but fewer station names, longitudes or latitudes");
    if (data.extent(0) < rows || data.extent(1) < cols)
      throw Error("GrADS data set " + dat_path + ": value array of " + std::to_string(data.extent(0)) + " x " +
                  std::to_string(data.extent(1)) + " is smaller than " + std::to_string(rows) + " stations x " +
                  std::to_string(cols) + " columns");
  }

  const std::uint64_t bytes = write_data_file(sink, stations, last_id, dat_path, data, lon, lat, rows, cols);
  write_descriptor(sink, ctl_path, name, trim_right(var), ncol);
  return {std::string(name), std::string(trim_right(var)), rows, cols, bytes};
}

void write_station_maps(std::span<const WrittenDataSet> written, const FileOps& ops, int folder,
                        const std::string& prefix, CleanupList& cleanup, bool only_present) {
  for (const WrittenDataSet& d : written) {
    const std::string name = d.base + ".dat.map", path = prefix + name, dat = d.base + ".dat";
    struct stat sb;
    if (only_present && ::fstatat(folder, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      throw Error("cannot replace the station map " + path + ": " + system_reason(errno));
    }
    const std::string map = grads_station_map(d.stations, d.steps, path);
    if (::fstatat(folder, dat.c_str(), &sb, 0) != 0)
      throw Error("cannot build the station map " + path + ": " + prefix + dat + ": " + system_reason(errno));
    if (static_cast<std::uint64_t>(sb.st_size) != d.data_bytes)
      throw Error("cannot build the station map " + path + ": " + prefix + dat + " is no longer the data set " +
                  "this run wrote (" + std::to_string(sb.st_size) + " bytes, not " + std::to_string(d.data_bytes) +
                  ")");
    AtomicFile out(ops, folder, path, cleanup);
    out.write(map.data(), map.size());
    out.commit();
  }
}

}  // namespace dx
