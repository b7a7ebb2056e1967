#pragma once
// Coasts and borders for the explorer page, from GrADS' own map data sets
// (lowres, mres, hires: the lines the pictures draw), clipped to the frame
// of the maps and written as a compact extract.
//
// A map data set is a sequence of records.  Each starts with three bytes:
// its type, then two bytes whose meaning depends on the type.
//   type 1, line: byte 1 the kind of line (0 coasts, 1 political borders,
//     2 state borders), byte 2 the number of points n; then n points of six
//     bytes, longitude and latitude each an unsigned big-endian 24-bit
//     number of 1/10000 degree, longitude 0..360, latitude counted from
//     the south pole (90 is the equator).
//   type 2 or 3, skip: sixteen bytes, a 32-bit offset in the file and a
//     box (longitudes, latitudes, four 24-bit numbers as above) that lets a
//     reader jump over the lines of a tile outside its region.  Reading on
//     past it reaches the same lines, so the extract ignores the skips.
#include <string>
#include <string_view>
#include <vector>

#include "maps/plan.hpp"

namespace dx {

struct LonLat {
  double lon, lat;
};
using MapLine = std::vector<LonLat>;

// The lines of a map data set held in `bytes`; Error naming `name` when a
// record is cut short or of an unknown type.
std::vector<MapLine> read_map_lines(std::string_view bytes, const std::string& name);

// The detail the frame's extent calls for: "hires" below 35 degrees
// across, "mres" below 100, "lowres" beyond (extracts of 10 to 70 KB).
const char* coast_detail(const MapFrame& frame);

// The folder of GrADS' map data sets: $GADDIR, or Debian's /usr/share/grads.
std::string map_data_folder();

// The parts of `lines` within the frame (each shifted by whole turns into
// the frame's window of longitudes), their points rounded to `step`
// degrees with repeated points dropped, each part reaching one point
// beyond the frame so that it meets the edge.  As a JavaScript array of
// integer arrays: per line its first point in steps from (lon1, lat1),
// then the differences from point to point.
std::string coast_extract(const std::vector<MapLine>& lines, const MapFrame& frame, double step);

// The degrees a map of the frame spans across, at its widest.
double frame_span(const MapFrame& frame);

}  // namespace dx
