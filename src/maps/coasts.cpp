#include "maps/coasts.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "base/error.hpp"

namespace dx {
namespace {

constexpr double kPi = 3.14159265358979323846;

// An unsigned big-endian number of `n` bytes at `p`.
std::uint32_t big_endian(const unsigned char* p, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

}  // namespace

std::vector<MapLine> read_map_lines(std::string_view bytes, const std::string& name) {
  std::vector<MapLine> lines;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    if (end - p < 3) throw Error("map data " + name + ": a record is cut short");
    const int type = p[0], count = p[2];
    const std::ptrdiff_t size = type == 1 ? 3 + 6 * count : type == 2 || type == 3 ? 19 : -1;
    if (size < 0) throw Error("map data " + name + ": unknown record type " + std::to_string(type));
    if (end - p < size) throw Error("map data " + name + ": a record is cut short");
    if (type == 1) {
      MapLine& line = lines.emplace_back();
      for (int i = 0; i < count; ++i) {
        const unsigned char* q = p + 3 + 6 * i;
        line.push_back({big_endian(q, 3) / 1e4, big_endian(q + 3, 3) / 1e4 - 90});
      }
    }
    p += size;
  }
  return lines;
}

double frame_span(const MapFrame& f) {
  if (f.projection != Projection::LatLon)
    return 2 * (90 - std::fabs(f.projection == Projection::NorthPolar ? f.lat1 : f.lat2));
  const double mid = (f.lat1 + f.lat2) / 2 * kPi / 180;
  return std::max((f.lon2 - f.lon1) * std::max(std::cos(mid), 0.2), f.lat2 - f.lat1);
}

const char* coast_detail(const MapFrame& frame) {
  const double span = frame_span(frame);
  return span < 35 ? "hires" : span < 100 ? "mres" : "lowres";
}

std::string map_data_folder() {
  const char* dir = std::getenv("GADDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/grads";
}

std::string coast_extract(const std::vector<MapLine>& lines, const MapFrame& f, double step) {
  std::string out = "[";
  const auto inside = [&f](const LonLat& p) {
    return p.lon >= f.lon1 && p.lon <= f.lon2 && p.lat >= f.lat1 && p.lat <= f.lat2;
  };
  // One part of a line, points [from, to), shifted by `shift` degrees.
  const auto emit = [&](const MapLine& line, std::size_t from, std::size_t to, double shift) {
    std::string part;
    long x0 = 0, y0 = 0;
    std::size_t kept = 0;
    for (std::size_t i = from; i < to; ++i) {
      const long x = std::lround((line[i].lon + shift - f.lon1) / step), y = std::lround((line[i].lat - f.lat1) / step);
      if (kept > 0 && x == x0 && y == y0) continue;
      part.append(kept == 0 ? "" : ",").append(std::to_string(x - x0)).append(",").append(std::to_string(y - y0));
      x0 = x, y0 = y, ++kept;
    }
    if (kept < 2) return;
    out.append(out.size() > 1 ? ",[" : "[").append(part).append("]");
  };
  for (const MapLine& line : lines) {
    for (const double shift : {-360.0, 0.0, 360.0}) {
      std::size_t i = 0;
      while (i < line.size()) {
        if (!inside({line[i].lon + shift, line[i].lat})) {
          ++i;
          continue;
        }
        std::size_t j = i;
        while (j < line.size() && inside({line[j].lon + shift, line[j].lat})) ++j;
        // A point beyond the frame, unless the line jumps there across the
        // globe (from 359.9 to 0.1: that part is drawn shifted).
        const auto near = [&line](std::size_t a, std::size_t b) { return std::fabs(line[a].lon - line[b].lon) < 180; };
        emit(line, i > 0 && near(i - 1, i) ? i - 1 : i, j < line.size() && near(j - 1, j) ? j + 1 : j, shift);
        i = j;
      }
    }
  }
  return out.append("]");
}

}  // namespace dx
