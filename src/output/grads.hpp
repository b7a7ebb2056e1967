#pragma once
// GrADS station data sets: a little-endian byte stream of station reports
// (base name + ".dat") and its nine-line descriptor (base name + ".ctl").
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/store.hpp"
#include "output/sink.hpp"

namespace dx {

// Writes `ncol` columns of `data` (shape (nstn, >= ncol)) as `ncol` time
// steps of `nstn` station reports, through `sink`.  Station ids are the
// first eight characters of `stations`; `last_id` holds the id of the last
// report written, across calls (a call with no station repeats it in its
// terminators).  `dir` and `base` and `var` have their trailing blanks
// removed.  Both files are replaced atomically; throws Error naming the
// file on failure.
void write_grads_stn(OutputSink& sink, std::span<const std::string> stations, StationId& last_id,
                     const Array2& data, const Array1& lon, const Array1& lat, std::int32_t nstn, std::int32_t ncol,
                     std::string_view base, std::string_view dir, std::string_view var);

// The size in bytes of the data file that write_grads_stn writes for
// `nstn` stations and `ncol` time steps.
std::uint64_t grads_data_size(std::size_t nstn, std::size_t ncol);

// The station map of that data file, byte for byte what GrADS' `stnmap -i`
// builds from it (its version 2 map, machine-independent): where each time
// group starts in the data file and how many reports it holds.  GrADS needs
// it to open the data set.  Throws Error naming `map_path` when there is no
// time step (GrADS cannot open such a data set) or when a time group starts
// beyond the 2^31 - 1 bytes a map can address.
std::string grads_station_map(std::size_t nstn, std::size_t ncol, const std::string& map_path);

}  // namespace dx
