#pragma once
// The GrADS script of a picture, made from its plan, and how GrADS' output
// tells whether the script reached its end.  Every text goes into the
// script through gs_string() and every number through gs_number().
//
// A script takes one argument, the folder its picture goes to (relative to
// the folder GrADS runs in, the output folder); "maps" when none is given,
// so that a reader can draw a picture again with
//   grads -blcx "run maps/NAME.gs"
// It prints kFailMark, the command and GrADS' message, and quits, at the
// first command that fails, and kDoneMark at its end.
#include <string>
#include <string_view>

#include "maps/plan.hpp"

namespace dx {

inline constexpr std::string_view kFailMark = "DX-FAIL ";
inline constexpr std::string_view kDoneMark = "DX-DONE";

// `text` as a GrADS script string: quoted, a quote inside given in the
// other kind of quote (GrADS joins strings that follow each other), a line
// break made a blank (a command is one line).
std::string gs_string(std::string_view text);

// A number of a command: seven significant digits (a float's precision:
// the stations' positions are floats), no "-0".
std::string gs_number(double x);

// The script that draws `p` into <folder>/<name>.png; the data sets it
// opens are in the folder GrADS runs in, the grid (gridded drawings) in
// the picture's folder.
std::string picture_script(const Picture& p, const MapFrame& frame);

// The grid of a gridded drawing: its descriptor (kGridName + ".ctl") and
// the size of its data file of zeros (kGridName + ".dat").
inline constexpr std::string_view kGridName = "grid";
std::string grid_descriptor(const MapFrame& frame);
std::size_t grid_data_size(const MapFrame& frame);

// What went wrong in a script run whose output was `output` and whose
// exit status `status` (or the `signal` that ended it): the command that
// failed with GrADS' message, a map data set GrADS could not read, or
// that GrADS stopped before the end with the first line that says what
// failed; "" when the script reached its end.  Cut to a readable length.
std::string script_failure(std::string_view output, int status, int signal = 0);

}  // namespace dx
