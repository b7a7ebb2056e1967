#pragma once
// GrADS station data sets: a little-endian byte stream of station reports
// (base name + ".dat") and its nine-line descriptor (base name + ".ctl").
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/cleanup.hpp"
#include "base/store.hpp"
#include "output/file_ops.hpp"
#include "output/sink.hpp"

namespace dx {

// What write_grads_stn wrote: the data set's base name and variable (no
// trailing blanks), its stations and time steps, and the size of its data
// file.
struct WrittenDataSet {
  std::string base, var;
  std::size_t stations = 0, steps = 0;
  std::uint64_t data_bytes = 0;
};

// Writes `ncol` columns of `data` (shape (nstn, >= ncol)) as `ncol` time
// steps of `nstn` station reports, through `sink`.  Station ids are the
// first eight characters of `stations`; `last_id` holds the id of the last
// report written, across calls (a call with no station repeats it in its
// terminators).  `dir` and `base` and `var` have their trailing blanks
// removed.  Both files are replaced atomically; throws Error naming the
// file on failure.
WrittenDataSet write_grads_stn(OutputSink& sink, std::span<const std::string> stations, StationId& last_id,
                               const Array2& data, const Array1& lon, const Array1& lat, std::int32_t nstn,
                               std::int32_t ncol, std::string_view base, std::string_view dir, std::string_view var);

// The size in bytes of the data file that write_grads_stn writes for
// `nstn` stations and `ncol` time steps.
std::uint64_t grads_data_size(std::size_t nstn, std::size_t ncol);

// The descriptor of a grid of `nx` x `ny` points, `step` degrees apart,
// the first at (`lon1`, `lat1`), whose data file ^<name>.dat holds one time
// step of the variable <name>, nx * ny little-endian floats: the grid onto
// which GrADS draws box averages or an analysis of station values.
std::string grads_grid_descriptor(std::string_view name, std::size_t nx, double lon1, std::size_t ny, double lat1,
                                  double step);

// One report of a station data set made for the maps: a station of the
// store (its index) and a value.
struct StationReport {
  std::uint32_t station;
  float value;
};

// A station data set whose time step k holds the reports `steps[k]`, in
// that order (GrADS draws a step's reports in file order): the bytes of its
// data file ^<name>.dat, of its descriptor (variable <name>) and of its
// station map ^<name>.dat.map.  Station ids and positions come from
// `stations`, `lon`, `lat`.  Throws Error naming `map_path` where the map
// cannot address the file.
struct StationSubset {
  std::string data, descriptor, map;
};
StationSubset grads_station_subset(std::string_view name, std::span<const std::string> stations, const Array1& lon,
                                   const Array1& lat, std::span<const std::vector<StationReport>> steps,
                                   const std::string& map_path);

// The station map of that data file, byte for byte what GrADS' `stnmap -i`
// builds from it (its version 2 map, machine-independent): where each time
// group starts in the data file and how many reports it holds.  GrADS needs
// it to open the data set.  Throws Error naming `map_path` when there is no
// time step (GrADS cannot open such a data set) or when a time group starts
// beyond the 2^31 - 1 bytes a map can address.
std::string grads_station_map(std::size_t nstn, std::size_t ncol, const std::string& map_path);

// Writes the station map of each data set in `written` beside it in the
// folder open at `folder` (`prefix` before a name in messages), as every
// output is written (a temporary file, registered in `cleanup`, renamed
// into place): all of them, or with `only_present` only those whose map is
// there already (left by an earlier run with --maps), so that a map never
// describes another data set than the one beside it.  The data file on
// disk must still be the one this run wrote.  Throws Error naming the map.
void write_station_maps(std::span<const WrittenDataSet> written, const FileOps& ops, int folder,
                        const std::string& prefix, CleanupList& cleanup, bool only_present);

}  // namespace dx
