#pragma once
// What the maps step draws, as plain data: the region of the maps, its
// projection and how the stations are drawn (the frame), one picture per
// GrADS data set (every time step a panel) and, for the per-period sets,
// one picture per drought class (every period a panel), each with its
// words, its colour scale, and the place of every panel on the page.  No
// GrADS text here: script.hpp turns a plan into commands.
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

// A station's position can be drawn: finite, latitude within ±90,
// longitude within -180..360.
bool usable_position(double lon, double lat);

// How the region is drawn: longitude and latitude with the east-west
// scale of its middle latitude, or a polar stereographic projection for a
// region that reaches beyond about 60 degrees north or south.
enum class Projection { LatLon, NorthPolar, SouthPolar };

// The region of the maps with a margin, its projection, and how the
// values are drawn.  Longitudes are in the window, -180..180 or 0..360,
// in which the stations span the least (a network across the date line is
// one region).
struct MapFrame {
  double lon1 = 0, lon2 = 1, lat1 = 0, lat2 = 1;
  Projection projection = Projection::LatLon;
  double aspect = 1;                   // width / height of a map drawn in the frame
  std::size_t stations = 0;            // with a usable position
  std::size_t unusable = 0;            // without one, left off the maps
  MapStyle drawing = MapStyle::Marks;  // never Auto
  bool chosen = false;                 // the drawing was asked for, not picked by station count
  bool crowded = false;                // a grid was asked for, but the stations lie within a few boxes
  double box = 0;                      // grid step, degrees (Boxes, Cressman)
  std::size_t grid_nx = 0, grid_ny = 0;
  double grid_lon = 0, grid_lat = 0;  // centre of the first grid box
  bool gridded() const { return drawing != MapStyle::Marks; }
};

// The frame of the first `stations` stations of `st` drawn in `style`.
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
  std::string heading;     // "SPI-12, severe", "PDSI vs SPI-1", "period 3"
  std::size_t source = 0;  // index into Picture::sources
  int step = 1;            // GrADS time step (1-based)
  ValueRange values;       // of this panel; left_off: its missing stations
  Box map;                 // where its map goes
  // A field of one value: the class whose colour it is drawn in (GrADS
  // would pick a colour of its own).
  int one_class = -1;
  std::string note;  // under the map: "every value 7", "3 missing"
  // Some stations are ringed as significant.
  bool rings = false;
};

// A station data set the maps step writes beside a picture, one time step
// per panel, for what GrADS cannot select cheaply (its functions of two
// station fields cost the square of the station count): the stations of a
// panel in the order to draw them, or only some of them.
struct DrawSet {
  std::string name;  // file base name and variable: "Prob_by_p"
  std::vector<std::vector<StationReport>> steps;
};

struct Picture {
  std::string name;                  // file base name: "Fre_all" gives Fre_all.png and Fre_all.gs
  std::string group;                 // the statistic, as the page groups the pictures
  std::string title;                 // "Drought frequency, whole series"
  std::string subtitle;              // "Fre_all, 150 stations"
  std::string quantity;              // what the colour bar's numbers are, with the unit where the file gives one
  std::vector<std::string> caption;  // lines under the colour bar
  std::vector<PanelSource> sources;  // in the order the script opens them
  std::vector<Panel> panels;
  Scale scale;                 // one for every panel, so that they can be compared
  Box bar;                     // the colour bar, one box per colour
  double heading_size = 0.11;  // of the panels' headings, inches: one fits its panel's width
  double mark = 0;             // size of a station's mark, inches
  std::string coasts;          // GrADS' map data set for the panels' scale: "hires", "mres", "lowres"
  // p-values: drawn as station marks whatever the style, the most
  // significant last (on top).
  bool by_significance = false;
  // The source of the p-values of the same columns, whose significant
  // stations are ringed; -1 for none.
  int significance = -1;
  // The data sets written beside the picture, and which holds what: the
  // p-values by significance (the least significant first), the significant
  // stations (value 1; over a gridded drawing stippled, a dot on a coarse
  // grid of their own, not a ring around each), the missing values
  // (value 1); -1 for none.
  std::vector<DrawSet> draw_sets;
  int ordered = -1, ringed = -1, missing = -1;
};

// Where a picture's parts go on the page.
struct Layout {
  int rows = 1, cols = 1;
  double map_width = 0, map_height = 0;  // inches
  bool down = false;                     // panels fill the columns first (a wide region's groups as columns)
};
// Panels in rows and columns, each map as large as the region's shape
// allows: the 18 classes as 3 rows (moderate, severe, extreme) of 6
// indices, 12 pairs or periods as 3 rows of 4, each group of 6 or 4 a
// column instead where that gives a wide region larger maps.
Layout layout(std::size_t panels, double aspect);

// Every picture of a loaded store whose data sets are `written` (the run's
// list), in the order the page shows them: the named data sets, the
// per-period sets, then per drought class the frequency and the magnitude
// across the periods.  None when no station has a usable position.
std::vector<Picture> plan_pictures(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& frame);

// Period p (0-based) in words, as the pictures name it: "period 3", or
// the period coordinate's value where the file has one.
std::string period_words(const Store& st, std::size_t p);

// The words of a column code: "spei06_mod" gives "SPEI-6, moderate",
// "pdsi_spi01" "PDSI vs SPI-1", "scpdsi" "scPDSI".
std::string heading_words(std::string_view code);

// The significance at which the slope and correlation maps ring stations.
inline constexpr double kSignificant = 0.05;

}  // namespace dx
