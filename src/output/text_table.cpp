#include "output/text_table.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/fields.hpp"
#include "base/format.hpp"
#include "base/text.hpp"
#include "output/out_file.hpp"

namespace dx {
namespace {

// Header: "Reg", "Lon", "Lat", then at most 100 column names in 12-character
// fields.  A header with more columns simply ends after the 100th name.
constexpr int kMaxHeaderNames = 100;
// The column count of a data line has three digits.
constexpr int kMaxColumns = 999;
// Data lines: I4 region code, F8.3 longitude and latitude, F12.3 values.
constexpr int kRegWidth = 4, kCoordWidth = 8, kValueWidth = 12, kDecimals = 3;

const Format& header_format() {
  static const Format f = Format::parse("(A3,TR1,2(A6,TR2),100A12)");
  return f;
}

std::string describe(std::string_view file) { return "station table " + std::string(file); }

// A mismatch of the arguments is a programming error, but it must never
// read outside an array or produce a broken table.
void check_arguments(const std::string& path, const Array2& values, std::int32_t nstn, std::int32_t ncol,
                     const Array1& lon, const Array1& lat, const Array1& reg, std::span<const std::string_view> names) {
  if (ncol < 0 || ncol > kMaxColumns)
    throw Error(describe(path) + ": column count " + std::to_string(ncol) + " is outside 0 to " +
                std::to_string(kMaxColumns));
  const std::size_t rows = count_to_size(nstn);
  const std::size_t cols = static_cast<std::size_t>(ncol);
  if (names.size() < std::min<std::size_t>(cols, kMaxHeaderNames))
    throw Error(describe(path) + ": " + std::to_string(ncol) + " columns but only " + std::to_string(names.size()) +
                " column names");
  if (lon.size() < rows || lat.size() < rows || reg.size() < rows)
    throw Error(describe(path) + ": " + std::to_string(rows) +
                " stations but fewer longitudes, latitudes or region codes");
  if (rows > 0 && cols > 0 && (values.extent(0) < rows || values.extent(1) < cols))
    throw Error(describe(path) + ": value array of " + std::to_string(values.extent(0)) + " x " +
                std::to_string(values.extent(1)) + " is smaller than " + std::to_string(rows) + " stations x " +
                std::to_string(cols) + " columns");
}

}  // namespace

void write_to_text(OutputSink& sink, const Array2& values, std::int32_t nstn, std::int32_t ncol, const Array1& lon,
                   const Array1& lat, const Array1& reg, std::span<const std::string_view> names,
                   std::string_view title, std::string_view file) {
  const std::string path(trim_right(file));

  check_arguments(path, values, nstn, ncol, lon, lat, reg, names);
  const std::size_t rows = count_to_size(nstn);
  const std::size_t cols = static_cast<std::size_t>(ncol);
  const std::size_t nnames = std::min<std::size_t>(cols, kMaxHeaderNames);
  const std::size_t line_len = kRegWidth + 2 * kCoordWidth + kValueWidth * cols + 1;

  OutFile out(sink, path);
  std::string& buf = out.buffer();

  // Title, at its full fixed length.
  buf.append(title);
  buf.push_back('\n');

  // Header.
  {
    std::vector<Value> items;
    items.reserve(3 + nnames);
    items.push_back(Value::text("Reg"));
    items.push_back(Value::text("Lon"));
    items.push_back(Value::text("Lat"));
    for (std::size_t j = 0; j < nnames; ++j) items.push_back(Value::text(trim_right(names[j])));
    write_line(header_format(), items, buf);
  }
  out.flush_if_full();

  // One line per station, formatted in place in the output buffer, a block
  // of lines at a time: each block takes the buffer just past a full write
  // (the write sizes are those of flushing after every line that fills it).
  const std::size_t stride = values.extent(0);
  const float* const data = values.data();
  for (std::size_t i = 0; i < rows;) {
    const std::size_t room = buf.size() < OutFile::kBufferSize ? OutFile::kBufferSize - buf.size() : 0;
    const std::size_t block = std::min(rows - i, std::max<std::size_t>(1, (room + line_len - 1) / line_len));
    const std::size_t at = buf.size();
    buf.resize(at + block * line_len);
    char* p = buf.data() + at;
    for (const std::size_t end = i + block; i < end; ++i) {
      const Value code = truncated_int(reg(i));
      if (code.kind == Value::Kind::Int) put_int(p, kRegWidth, -1, code.i);
      else put_stars(p, kRegWidth);
      p += kRegWidth;
      put_real(p, kCoordWidth, kDecimals, lon(i));
      p += kCoordWidth;
      put_real(p, kCoordWidth, kDecimals, lat(i));
      p += kCoordWidth;
      const float* v = data + i;
      for (std::size_t j = 0; j < cols; ++j, v += stride, p += kValueWidth) put_real(p, kValueWidth, kDecimals, *v);
      *p++ = '\n';
    }
    out.flush_if_full();
  }

  out.commit();
}

}  // namespace dx
