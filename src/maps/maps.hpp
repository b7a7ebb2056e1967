#pragma once
// The maps of --maps: after the outputs are written, the station map of
// every GrADS data set (<name>.dat.map, what GrADS' stnmap would build), and a
// folder maps/ in the output folder with one picture per data set and per
// drought class across the periods, drawn by GrADS in batch mode, and the
// page maps/index.html that shows them.
//
// Like the outputs, every .dat.map and the folder maps/ as a whole are
// always the complete old ones or the complete new ones: a station map is
// written under a temporary name and renamed into place, and maps/ is
// built beside the old one (".maps.dx-tmp") and swapped in at the end.  A
// signal that ends the run removes the folders being built and ends the
// GrADS processes; after SIGKILL the next run with --maps removes them.
#include <span>
#include <string>

#include "base/store.hpp"
#include "maps/style.hpp"
#include "output/file_ops.hpp"
#include "output/grads.hpp"

namespace dx {

// The GrADS program that draws the maps, found in PATH.
struct MapTools {
  std::string grads;
};

// Before anything is read: finds grads (Error naming what is missing and
// how to install it), and checks that `output_dir`/maps, if there, is a
// folder the maps can replace: a folder holding nothing but what the maps
// step makes.  `output_dir` empty: the working folder; `shown_dir` is how
// messages name it.
MapTools find_map_tools(const std::string& output_dir, const std::string& shown_dir);

// Builds the station maps of the data sets the run `written` into the
// output folder open at `folder`, then the pictures of the loaded store
// (drawn in `style`) and the page; every file of the step is reached
// through `folder` and made through `ops`; `shown_dir` is how messages
// name the folder.  Progress goes to standard error ("maps: 12/71").
// Throws Error at the first failure (the message names the file and
// GrADS' own words); maps/ then stays as it was.
void draw_maps(const Store& st, std::span<const WrittenDataSet> written, const FileOps& ops, int folder,
               const std::string& shown_dir, const MapTools& tools, MapStyle style);

}  // namespace dx
