#pragma once
// What the maps step draws: one picture per GrADS data set (every time step
// a panel) and, for the per-period sets, one picture per drought class
// (every period a panel), each with its words, its scale and its panels;
// and the GrADS script that draws a picture.
#include <cstddef>
#include <string>
#include <vector>

#include "base/store.hpp"
#include "maps/scale.hpp"

namespace dx {

// One GrADS data set of the run that the maps step uses.
struct MapDataSet {
  std::string base;   // "Fre_all", "Fre_01"
  std::string var;    // the variable on the descriptor's variable line
  std::string table;  // its text table ("Fre_all.txt"), "" if it has none
  std::size_t steps = 0;  // its time steps
};

struct Panel {
  std::string heading;  // "pdsi_mod", "period 3"
  std::size_t set = 0;  // index into Picture::sets
  int step = 1;         // GrADS time step (1-based)
  bool drawable = false;  // holds a value GrADS can draw
  double min = 0, max = 0;  // of the values GrADS can draw
};

struct Picture {
  std::string name;     // file base name: "Fre_all" gives maps/Fre_all.png and maps/Fre_all.gs
  std::string group;    // the statistic, as the page groups the pictures
  std::string title;    // "Drought frequency, whole series (%)"
  std::string subtitle;  // "Fre_all, 150 stations"
  ScaleKind kind = ScaleKind::Sequential;
  std::vector<MapDataSet> sets;  // the data sets its panels come from, in file order
  std::vector<Panel> panels;
  ValueRange range;  // of every panel together
};

// Every picture of a loaded store, in the order the page shows them: the
// eleven named data sets, the per-period sets, then per drought class the
// frequency and the magnitude across the periods.
std::vector<Picture> plan_pictures(const Store& st);

// Every data set of the run (the eleven named ones, then Fre_pp and Mag_pp
// per period), whose station maps the step builds.
std::vector<MapDataSet> map_data_sets(const Store& st);

// How the station values are drawn: one coloured mark per station, box
// averages on a grid (GrADS' oabin), or a Cressman analysis on a grid
// (oacres: smooth, but its cost grows with grid points times stations).
// Auto: marks up to kMarkerLimit stations, box averages above.
enum class MapStyle { Auto, Marks, Boxes, Cressman };

// Above this many stations Auto draws box averages.
inline constexpr std::size_t kMarkerLimit = 5000;

// The stations' extent with a margin, and how the values are drawn.
struct MapFrame {
  double lon1 = 0, lon2 = 1, lat1 = 0, lat2 = 1;
  std::size_t stations = 0;               // with a position
  MapStyle drawing = MapStyle::Marks;     // never Auto
  bool chosen = false;                    // the drawing was asked for, not picked by station count
  double box = 0;                         // grid step, degrees (Boxes, Cressman)
  std::size_t grid_nx = 0, grid_ny = 0;
  double grid_lon = 0, grid_lat = 0;  // centre of the first grid box
  bool gridded() const { return drawing != MapStyle::Marks; }
};

MapFrame map_frame(const Store& st, MapStyle style);

// The picture's size in pixels (a landscape page of 11 x 8.5 inches).
inline constexpr int kPictureWidth = 1600;
inline constexpr int kPictureHeight = 1236;

// The GrADS script that draws `p` into maps/<name>.png, run from a folder
// that holds the data sets and maps/ (the output folder, or one that looks
// like it).  It prints "DX-FAIL <command>" and GrADS' message and quits at
// the first command that fails, and "DX-DONE" at the end.
std::string picture_script(const Picture& p, const MapFrame& frame);

// The grid descriptor of a gridded drawing (maps/grid.ctl), whose data file
// maps/grid.dat holds grid_nx * grid_ny zero floats.
std::string grid_descriptor(const MapFrame& frame);

// How the values are drawn, in words, for the captions and the page.
std::string drawing_words(const MapFrame& frame);

}  // namespace dx
