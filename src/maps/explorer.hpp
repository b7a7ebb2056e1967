#pragma once
// maps/explorer.html: every station of every data set on one interactive
// map that opens from the file system (no server, nothing from the
// network).  Drawn in the frame, projection, colour scales and treatment
// of missing values of the pictures; a card shows all the statistics of
// one station as the text tables print them.
//
// Files, in the folder of the maps:
//   explorer.html, explorer/explorer.js   the page and its script (the
//       tool's own, from src/maps/explorer, built into the binary);
//   explorer/meta.js      the frame, coasts and borders, the positions and
//       region codes, every data set's scale and headings, the card layout;
//   explorer/set-<base>-<step>.js   one per time step of each data set:
//       its values as little-endian float32 in base64 (the values of the
//       .dat file, bit for bit); loaded when it is first shown;
//   explorer/card-<k>.js  the same values for the stations of block k
//       (kCardBlock stations), station after station, so that a card
//       loads one small file.
// Scripts are inserted with <script src> when first needed: browsers
// refuse fetch() of local files.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/store.hpp"
#include "maps/hidden_folder.hpp"
#include "maps/plan.hpp"
#include "output/grads.hpp"

namespace dx {

// The folder of the explorer's data, beside explorer.html.
inline constexpr const char* kExplorerFolder = "explorer";

// Stations per card file.
inline constexpr std::size_t kCardBlock = 128;

// Writes the explorer into `folder` (a folder of the output folder `f`
// that exists): explorer.html and the folder explorer/.  `pictures` are
// the run's planned pictures (a data set's scale is that of the picture of
// the same name).  Throws Error naming the file that cannot be written or
// the map data set that cannot be read.
void write_explorer(const Store& st, std::span<const WrittenDataSet> written, const MapFrame& frame,
                    const std::vector<Picture>& pictures, const FileOps& ops, const OutputFolder& f,
                    const std::string& folder);

// `text` as a JavaScript string literal that is also safe inside HTML:
// quotes, backslashes, <, >, &, control characters and the line
// separators U+2028/2029 escaped.
std::string js_string(std::string_view text);

// `bytes` in base64 (RFC 4648, with padding).
std::string base64(std::string_view bytes);

}  // namespace dx
