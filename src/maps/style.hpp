#pragma once
// How --maps draws the station values: one coloured mark per station, box
// averages on a grid (GrADS' oabin), or a Cressman analysis on a grid
// (oacres: smooth, but its cost grows with grid points times stations).
// Auto: marks up to kMarkerLimit stations, box averages above.
#include <cstddef>

namespace dx {

enum class MapStyle { Auto, Marks, Boxes, Cressman };

// Above this many stations Auto draws box averages.
inline constexpr std::size_t kMarkerLimit = 5000;

}  // namespace dx
