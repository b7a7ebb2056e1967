#include "maps/script.hpp"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <sstream>
#include <vector>

#include "output/grads.hpp"

namespace dx {
namespace {

// The GrADS colour number of class `k` of a scale: user colours start at 16;
// 20 and up leave GrADS' own few above 15 alone.
constexpr int kFirstColour = 20;
int colour(std::size_t k) { return kFirstColour + static_cast<int>(k); }

// One command, and one whose failure ends the script (see run() below).
std::string command(std::string_view c) { return gs_string(c) + "\n"; }
std::string must(std::string_view c) { return "run(" + gs_string(c) + ")\n"; }
// A command that names a file in the picture's folder.
std::string in_folder(std::string_view before, std::string_view file, std::string_view after = "") {
  std::string rest(1, '/');
  rest.append(file).append(after);
  return gs_string(before) + "dir" + gs_string(rest);
}

// The projection: the region as it is on the globe, every degree of
// longitude as wide as at its middle latitude (the map area is sized for
// it), or polar stereographic.
std::string projection_command(const MapFrame& f) {
  switch (f.projection) {
    case Projection::NorthPolar: return "set mproj nps";
    case Projection::SouthPolar: return "set mproj sps";
    default: return "set mproj scaled";
  }
}

std::string place(double x, double y) { return gs_number(x) + " " + gs_number(y); }
std::string rect(const Box& b) { return place(b.x1, b.y1) + " " + place(b.x2, b.y2); }

// The colours of the scale and the `clevs` and `ccols` lists that refer
// to them.
struct ScaleCommands {
  std::string rgb, ccols, clevs;
};
ScaleCommands scale_commands(const Scale& scale) {
  ScaleCommands sc;
  for (std::size_t i = 0; i < scale.colours.size(); ++i) {
    const Rgb& c = scale.colours[i];
    sc.rgb += command("set rgb " + std::to_string(colour(i)) + " " + std::to_string(c.r) + " " + std::to_string(c.g) +
                      " " + std::to_string(c.b));
    sc.ccols.append(i ? " " : "").append(std::to_string(colour(i)));
  }
  for (std::size_t i = 0; i < scale.levels.size(); ++i)
    sc.clevs.append(i ? " " : "").append(gs_number(scale.levels[i]));
  return sc;
}

// The grey of the marks of missing values.
constexpr int kMissingColour = 16;

// The GrADS file number of the draw set `which` of a picture: after its
// sources and the grid.
int draw_set_file(const Picture& p, const MapFrame& f, int which) {
  return static_cast<int>(p.sources.size()) + (f.gridded() ? 1 : 0) + which + 1;
}

// The variable of draw set `which` at the time step of panel `pan`.
std::string draw_set(const Picture& p, const MapFrame& f, int which, const Panel& pan) {
  const auto panel = static_cast<std::size_t>(&pan - p.panels.data());
  return p.draw_sets[static_cast<std::size_t>(which)].name + "." + std::to_string(draw_set_file(p, f, which)) +
         "(t=" + std::to_string(panel + 1) + ")";
}

// Station marks of size `size` and kind `mark` (3 a disc, 2 a ring, 6 a
// cross); GrADS resets them after every display.
std::string marks(int mark, double size) {
  return command("set gxout stnmark") + command("set cmark " + std::to_string(mark)) +
         command("set digsiz " + gs_number(size));
}

// The values of a panel: `var` at its step, as marks or on a grid.  No
// GrADS function of two station fields is used: those cost the square of
// the station count.
std::string values_script(const Picture& p, const MapFrame& f, const Panel& pan, const ScaleCommands& sc,
                          const std::string& var) {
  const std::string levels = command("set clevs " + sc.clevs) + command("set ccols " + sc.ccols);
  if (pan.one_class >= 0) {
    // GrADS picks its own colour for a field of one value, and a grid of
    // one value comes out blank: marks in the colour of the class.
    return marks(3, p.mark) + levels +
           command("set ccolor " + std::to_string(colour(static_cast<std::size_t>(pan.one_class)))) +
           must("d " + (p.ordered >= 0 ? draw_set(p, f, p.ordered, pan) : var));
  }
  if (p.by_significance) {
    // The stations in the order of their p-values, the least significant
    // first, so that the most significant lie on top.
    return marks(3, p.mark) + levels + must("d " + draw_set(p, f, p.ordered, pan));
  }
  if (!f.gridded()) return marks(3, p.mark) + levels + must("d " + var);
  const std::string grid = std::string(kGridName) + "." + std::to_string(p.sources.size() + 1) + "(t=1)";
  if (f.drawing == MapStyle::Boxes)
    return command("set gxout grfill") + levels + must("d oabin(" + grid + ", " + var + ")");
  return command("set gxout shaded") + levels + must("d oacres(" + grid + ", " + var + ")");
}

// Marks over the values: a grey cross for each missing value, a ring
// around each station whose p-value is significant (each a draw set of one
// value, in the colour `ccolor` gives).
std::string overlay_script(const Picture& p, const MapFrame& f, const Panel& pan) {
  std::string gs;
  if (pan.values.left_off > 0 && p.missing >= 0)
    gs += marks(6, p.mark * 0.8) + command("set ccolor " + std::to_string(kMissingColour)) +
          must("d " + draw_set(p, f, p.missing, pan));
  if (pan.rings && p.ringed >= 0)
    gs += (f.gridded() ? marks(3, std::max(p.mark * 0.6, 0.03)) : marks(2, p.mark * 1.5)) + command("set ccolor 1") +
          must("d " + draw_set(p, f, p.ringed, pan));
  return gs;
}

// One panel: its heading, then its map, or a frame with "no values"; its
// note under the map.
std::string panel_script(const Picture& p, const MapFrame& f, const Panel& pan, const ScaleCommands& sc) {
  const Box& m = pan.map;
  std::string gs = command("set string 1 c 4") + command("set strsiz " + gs_number(p.heading_size)) +
                   command("draw string " + place(m.centre_x(), m.y2 + 0.11) + " " + pan.heading);
  const std::string note = pan.note.empty()
                               ? ""
                               : command("set string 1 c 3") + command("set strsiz 0.08") +
                                     command("draw string " + place(m.centre_x(), m.y1 - 0.1) + " " + pan.note);
  if (pan.values.drawable == 0) {
    gs += command("set line 1 1 1") + command("draw rec " + rect(m));
    return gs + command("set strsiz 0.09") +
           command("draw string " + place(m.centre_x(), (m.y1 + m.y2) / 2) + " no values") + note;
  }
  // The map area exactly: GrADS would centre a map in a larger one, away
  // from its heading.
  gs += command("set parea " + gs_number(m.x1) + " " + gs_number(m.x2) + " " + gs_number(m.y1) + " " + gs_number(m.y2));
  gs += command("set dfile " + std::to_string(pan.source + 1)) + command("set t " + std::to_string(pan.step)) +
        command("set lon " + gs_number(f.lon1) + " " + gs_number(f.lon2)) +
        command("set lat " + gs_number(f.lat1) + " " + gs_number(f.lat2));
  const std::string var = p.sources[pan.source].var + "." + std::to_string(pan.source + 1);
  gs += values_script(p, f, pan, sc, var) + overlay_script(p, f, pan);
  // The coasts once, above the marks.
  return gs + command("set mpdraw on") + command("draw map") + command("set mpdraw off") + note;
}

// The colour bar: one box per colour, a triangle at an open end, the class
// boundaries below and what the numbers are under them.
std::string bar_script(const Picture& p) {
  const Scale& scale = p.scale;
  const Box& bar = p.bar;
  const double w = bar.width() / static_cast<double>(scale.colours.size()), label_y = bar.y1 - 0.13;
  std::string gs = "\n* The colour bar, one box per colour, the class boundaries below\n";
  gs += command("set strsiz 0.1") + command("set string 1 c 3");
  for (std::size_t i = 0; i < scale.colours.size(); ++i) {
    const double a = bar.x1 + static_cast<double>(i) * w, mid = (bar.y1 + bar.y2) / 2;
    const bool open_low = i == 0 && scale.low.empty(), open_high = i + 1 == scale.colours.size() && scale.high.empty();
    gs += command("set line " + std::to_string(colour(i)));
    if (open_low || open_high) {
      const double tip = open_low ? a : a + w, base = open_low ? a + w : a;
      const std::string tri = place(base, bar.y1) + " " + place(base, bar.y2) + " " + place(tip, mid);
      gs += command("draw polyf " + tri) + command("set line 1 1 1") +
            command("draw line " + place(base, bar.y1) + " " + place(tip, mid)) +
            command("draw line " + place(base, bar.y2) + " " + place(tip, mid)) +
            command("draw line " + place(base, bar.y1) + " " + place(base, bar.y2));
    } else {
      const Box b{a, bar.y1, a + w, bar.y2};
      gs += command("draw recf " + rect(b)) + command("set line 1 1 1") + command("draw rec " + rect(b));
    }
    if (i > 0) gs += command("draw string " + place(a, label_y) + " " + scale.labels[i - 1]);
  }
  if (!scale.low.empty()) gs += command("draw string " + place(bar.x1, label_y) + " " + scale.low);
  if (!scale.high.empty()) gs += command("draw string " + place(bar.x2, label_y) + " " + scale.high);
  return gs + command("set strsiz 0.11") +
         command("draw string " + place(bar.centre_x(), bar.y1 - 0.32) + " " + p.quantity);
}

// What the marks over the values mean, right of the colour bar.
std::string legend_script(const Picture& p, const MapFrame& f) {
  std::string gs;
  double y = p.bar.y2;
  const double x = p.bar.x2 + 0.35;
  const auto item = [&](int mark, int colour_number, const std::string& words) {
    gs += command("set line " + std::to_string(colour_number)) +
          command("draw mark " + std::to_string(mark) + " " + place(x, y) + " 0.1") + command("set string 1 l 3") +
          command("set strsiz 0.09") + command("draw string " + place(x + 0.12, y) + " " + words);
    y -= 0.2;
  };
  if (std::any_of(p.panels.begin(), p.panels.end(), [](const Panel& pan) { return pan.values.left_off > 0; }))
    item(6, kMissingColour, "missing value");
  if (p.significance >= 0)
    item(f.gridded() ? 3 : 2, 1,
         "p < " + gs_number(kSignificant) + " (" + p.sources[static_cast<std::size_t>(p.significance)].base + ")");
  return gs;
}

// Title, subtitle, the colour bar, its legend and the caption.
std::string frame_script(const Picture& p, const MapFrame& f) {
  std::string gs = "\n* Title and subtitle\n";
  gs += command("set string 1 c 6") + command("set strsiz 0.2") + command("draw string 5.5 8.15 " + p.title);
  gs += command("set string 1 c 3") + command("set strsiz 0.13") + command("draw string 5.5 7.8 " + p.subtitle);
  if (!p.scale.empty()) gs += bar_script(p);
  gs += legend_script(p, f);
  gs += "\n* The caption\n" + command("set string 1 c 3") + command("set strsiz 0.1");
  double y = p.bar.y1 - 0.58;
  for (const std::string& line : p.caption) {
    gs += command("draw string " + place(5.5, y) + " " + line);
    y -= 0.17;
  }
  return gs;
}

// The lines of GrADS' output without blanks at their ends, empty ones left
// out.
std::vector<std::string> lines_of(std::string_view out) {
  std::vector<std::string> lines;
  std::istringstream in{std::string(out)};
  for (std::string l; std::getline(in, l);) {
    const auto b = l.find_first_not_of(" \t\r"), e = l.find_last_not_of(" \t\r");
    if (b != std::string::npos) lines.push_back(l.substr(b, e - b + 1));
  }
  return lines;
}

}  // namespace

std::string gs_string(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    // The longest run without a single quote goes in single quotes; a run
    // of single quotes in double quotes.
    const bool apostrophes = text[i] == '\'';
    std::size_t j = i;
    while (j < text.size() && (text[j] == '\'') == apostrophes) ++j;
    const char q = apostrophes ? '"' : '\'';
    std::string run(text.substr(i, j - i));
    std::replace(run.begin(), run.end(), '\n', ' ');
    out.push_back(q);
    out += run;
    out.push_back(q);
    i = j;
  }
  return out.empty() ? "''" : out;
}

std::string gs_number(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", x);
  return std::string(buf) == "-0" ? "0" : buf;
}

std::string picture_script(const Picture& p, const MapFrame& f) {
  const ScaleCommands sc = scale_commands(p.scale);
  std::string gs = "* " + p.title + "\n* " + p.subtitle + "\n";
  gs +=
      "* Drawn by drought-export with GrADS; run in the output folder, beside the\n"
      "* station maps (NAME.dat.map), it draws maps/" +
      p.name +
      ".png again:\n"
      "*   grads -blcx \"run maps/" +
      p.name +
      ".gs\"\n"
      "* (its argument: the folder of the picture, maps when none is given)\n\n";
  gs += "function main(args)\ndir = subwrd(args, 1)\nif (dir = '')\n  dir = 'maps'\nendif\n\n";
  for (const PanelSource& s : p.sources) gs += must("open " + s.base + ".ctl");
  if (f.gridded()) gs += "run(" + in_folder("open ", std::string(kGridName) + ".ctl") + ")\n";
  for (const DrawSet& set : p.draw_sets) gs += "run(" + in_folder("open ", set.name + ".ctl") + ")\n";
  gs += command("set display color white") + command("c") + command("set grads off") +
        command("set mpdset " + p.coasts) + command(projection_command(f)) + command("set map 1 1 1") +
        command("set mpdraw off") + command("set xlab off") + command("set ylab off") + command("set grid off");
  gs += "\n* The colour scale: one colour per class of value; grey for missing values\n" + sc.rgb +
        command("set rgb " + std::to_string(kMissingColour) + " 110 110 110");
  for (std::size_t i = 0; i < p.panels.size(); ++i) {
    const Panel& pan = p.panels[i];
    gs += "\n* Panel " + std::to_string(i + 1) + ": " + pan.heading + " (" + p.sources[pan.source].base +
          ", time step " + std::to_string(pan.step) + ")\n";
    gs += panel_script(p, f, pan, sc);
  }
  gs += frame_script(p, f);
  gs += "\nrun(" +
        in_folder("gxprint ", p.name + ".png",
                  " x" + std::to_string(kPictureWidth) + " y" + std::to_string(kPictureHeight) + " white") +
        ")\n";
  gs += "say " + gs_string(kDoneMark) + "\n'quit'\nreturn\n\n";
  gs +=
      "* Runs a GrADS command; at a failure prints it with GrADS' message and quits.\n"
      "function run(command)\n"
      "  command\n"
      "  if (rc != 0)\n"
      "    say " +
      gs_string(kFailMark) +
      "command\n"
      "    say result\n"
      "    'quit'\n"
      "  endif\n"
      "return\n";
  return gs;
}

std::string grid_descriptor(const MapFrame& f) {
  return grads_grid_descriptor(std::string(kGridName), f.grid_nx, f.grid_lon, f.grid_ny, f.grid_lat, f.box);
}

std::size_t grid_data_size(const MapFrame& f) { return f.grid_nx * f.grid_ny * sizeof(float); }

std::string script_failure(std::string_view output, int status, int signal) {
  // A line of GrADS' output cut to a readable length (at a character's
  // start: the line may hold UTF-8).
  const auto readable = [](const std::string& line) {
    constexpr std::size_t kMax = 200;
    if (line.size() <= kMax) return line;
    std::size_t n = kMax;
    while (n > 0 && (static_cast<unsigned char>(line[n]) & 0xC0) == 0x80) --n;
    return line.substr(0, n) + "...";
  };
  const std::vector<std::string> lines = lines_of(output);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].starts_with(kFailMark)) continue;
    std::string msg = "'" + readable(lines[i].substr(kFailMark.size())) + "' failed:";
    for (std::size_t j = i + 1, n = 0; j < lines.size() && !lines[j].starts_with("DX-") && n < 4; ++j, ++n)
      msg += " " + readable(lines[j]);
    return msg;
  }
  // Without its map data set GrADS draws no coasts and says so only in
  // passing: the script still reaches its end.
  for (const std::string& l : lines)
    if (l.starts_with("Open Error on Map Data Set"))
      return "GrADS cannot read its map data set of coasts and borders (" + readable(l) +
             "); check the GrADS installation (GADDIR)";
  if (std::find(lines.begin(), lines.end(), kDoneMark) != lines.end()) return "";
  std::string msg = "GrADS stopped before the end of its script";
  // 99 is GrADS' own status for a script that stopped early; others say more.
  if (signal != 0) msg += " (ended by signal " + std::to_string(signal) + ", " + ::strsignal(signal) + ")";
  else if (status != 0 && status != 99) msg += " (status " + std::to_string(status) + ")";
  if (lines.empty()) return msg;
  // The first line that says what failed; else its last words.
  const auto error = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("Error") != std::string::npos || l.find("error") != std::string::npos;
  });
  return msg + ": " + readable(error != lines.end() ? *error : lines.back());
}

}  // namespace dx
