#pragma once
// What the maps step draws, as plain data: the region of the maps and how
// the stations are drawn (the frame), one picture per GrADS data set
// (every time step a panel) and, for the per-period sets, one picture per
// drought class (every period a panel), each with its words, its colour
// scale, and the place of every panel on the page.  No GrADS text here:
// script.hpp turns a plan into commands.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "base/store.hpp"
#include "maps/scale.hpp"
#include "maps/style.hpp"
#include "output/grads.hpp"

namespace dx {

// The picture's size in pixels, of a landscape page of 11 x 8.5 inches;
// places on the page are in inches from its lower left corner.
inline constexpr int kPictureWidth = 1600;
inline constexpr int kPictureHeight = 1236;
inline constexpr double kPageWidth = 11.0, kPageHeight = 8.5;

struct Box {
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  double width() const { return x2 - x1; }
  double height() const { return y2 - y1; }
  double centre_x() const { return (x1 + x2) / 2; }
};

// The stations' extent with a margin, and how the values are drawn.
struct MapFrame {
  double lon1 = 0, lon2 = 1, lat1 = 0, lat2 = 1;
  std::size_t stations = 0;            // with a position
  MapStyle drawing = MapStyle::Marks;  // never Auto
  bool chosen = false;                 // the drawing was asked for, not picked by station count
  double box = 0;                      // grid step, degrees (Boxes, Cressman)
  std::size_t grid_nx = 0, grid_ny = 0;
  double grid_lon = 0, grid_lat = 0;  // centre of the first grid box
  bool gridded() const { return drawing != MapStyle::Marks; }
};

// The frame of the first `stations` stations of `st` drawn in `style`:
// stations without a finite position on the globe are left out.
MapFrame map_frame(const Store& st, std::size_t stations, MapStyle style);

// How the values are drawn, in words, for the captions and the page.
std::string drawing_words(const MapFrame& frame);

// One GrADS data set that a picture's panels come from.
struct PanelSource {
  std::string base;   // "Fre_all", "Fre_01"
  std::string var;    // the variable on the descriptor's variable line
  std::string table;  // its text table ("Fre_all.txt"), "" if it has none
};

struct Panel {
  std::string heading;     // "pdsi_mod", "period 3"
  std::size_t source = 0;  // index into Picture::sources
  int step = 1;            // GrADS time step (1-based)
  ValueRange values;       // of this panel
  Box map;                 // where its map goes
  // A field of one value: the class whose colour it is drawn in (GrADS
  // would pick a colour of its own), and the note under the map.
  int one_class = -1;
  std::string note;
};

struct Picture {
  std::string name;      // file base name: "Fre_all" gives Fre_all.png and Fre_all.gs
  std::string group;     // the statistic, as the page groups the pictures
  std::string title;     // "Drought frequency, whole series (%)"
  std::string subtitle;  // "Fre_all, 150 stations"
  std::string caption;   // how it is drawn, and the values left off
  std::vector<PanelSource> sources;  // in the order the script opens them
  std::vector<Panel> panels;
  ValueRange values;  // of every panel together
  Scale scale;        // one for every panel, so that they can be compared
  double mark = 0;    // size of a station's mark, inches
};

// Panels laid out in rows and columns over the page area, each map as
// large as the region's shape allows.
struct Layout {
  int rows = 1, cols = 1;
  double panel_width = 0, panel_height = 0;  // inches
  double inches_per_degree = 0;              // of the maps
};
Layout layout(std::size_t panels, const MapFrame& frame);

// Every picture of a loaded store whose data sets are `written` (the run's
// list), in the order the page shows them: the named data sets, the
// per-period sets, then per drought class the frequency and the magnitude
// across the periods.  None when no station has a position.
std::vector<Picture> plan_pictures(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& frame);

// Where the colour bar goes; one box per colour, side by side.
inline constexpr Box kColourBar{2.0, 0.55, 9.0, 0.8};

}  // namespace dx
