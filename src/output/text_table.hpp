#pragma once
// Station text tables: a title line, a header line of column names and one
// fixed-column line per station (region code, longitude, latitude, values).
#include <cstdint>
#include <span>
#include <string_view>

#include "base/col_array.hpp"
#include "output/sink.hpp"

namespace dx {

// Writes `ncol` columns of `values` (shape (nstn, >= ncol)) for `nstn`
// stations into `file` (trailing blanks ignored), replacing it atomically
// through `sink`.
// `title` is written at its full length (TITLE is 100 characters).
// Throws Error naming the file when it cannot be written.
void write_to_text(OutputSink& sink, const Array2& values, std::int32_t nstn, std::int32_t ncol, const Array1& lon,
                   const Array1& lat, const Array1& reg, std::span<const std::string_view> names,
                   std::string_view title, std::string_view file);

}  // namespace dx
