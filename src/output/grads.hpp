#pragma once
// GrADS station data sets: a little-endian byte stream of station reports
// (base name + ".dat") and its nine-line descriptor (base name + ".ctl").
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

}  // namespace dx
