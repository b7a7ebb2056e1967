#include "output/text_table.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "output/fast_real.hpp"
#include "base/error.hpp"
#include "base/format.hpp"
#include "base/text.hpp"
#include "output/out_file.hpp"

namespace dx {
namespace {

// Header: "Reg", "Lon", "Lat", then at most 100 column names in 12-character
// fields.  A header with more columns simply ends after the 100th name.
constexpr int kMaxHeaderNames = 100;
// The data-line format carries the column count in three characters.
constexpr int kMaxColumns = 999;
constexpr std::size_t kFmtLen = 50;

const Format& header_format() {
  static const Format f = Format::parse("(A3,TR1,2(A6,TR2),100A12)");
  return f;
}

// The run-time format of the data lines, e.g. "(I4,2F8.3, 18F12.3)".
Format data_format(std::int32_t ncol) {
  static const Format build = Format::parse("(A,I3,A)");
  const std::array<Value, 3> items{Value::text("(I4,2F8.3,"), Value::integer(ncol), Value::text("F12.3)")};
  return Format::parse(write_field(build, items, kFmtLen));
}

std::string describe(std::string_view file) { return "station table " + std::string(file); }

}  // namespace

void write_to_text(OutputSink& sink, const Array2& values, std::int32_t nstn, std::int32_t ncol, const Array1& lon,
                   const Array1& lat, const Array1& reg, std::span<const std::string_view> names,
                   std::string_view title, std::string_view file) {
  const std::string path(trim_right(file));

  // Argument checks: a mismatch is a programming error, but it must never
  // read outside an array or produce a broken table.
  if (ncol < 0 || ncol > kMaxColumns)
    throw Error(describe(path) + ": column count " + std::to_string(ncol) + " is outside 0 to " +
                std::to_string(kMaxColumns));
  const std::size_t rows = static_cast<std::size_t>(std::max(nstn, 0));
  const std::size_t cols = static_cast<std::size_t>(ncol);
  const std::size_t nnames = std::min<std::size_t>(cols, kMaxHeaderNames);
  if (names.size() < nnames)
    throw Error(describe(path) + ": " + std::to_string(ncol) + " columns but only " +
                std::to_string(names.size()) + " column names");
  if (lon.size() < rows || lat.size() < rows || reg.size() < rows)
    throw Error(describe(path) + ": " + std::to_string(rows) +
                " stations but fewer longitudes, latitudes or region codes");
  if (rows > 0 && cols > 0 && (values.extent(0) < rows || values.extent(1) < cols))
    throw Error(describe(path) + ": value array of " + std::to_string(values.extent(0)) + " x " +
                std::to_string(values.extent(1)) + " is smaller than " + std::to_string(rows) + " stations x " +
                std::to_string(cols) + " columns");

  // The data-line rules: I4, F8.3, F8.3 and one F12.3 per column.
  const Format fmt = data_format(ncol);
  const std::vector<Format::Rule>& rules = fmt.rules();
  if (rules.size() != cols + 3 || rules[0].code != 'I' ||
      !std::all_of(rules.begin() + 1, rules.end(), [](const Format::Rule& r) { return r.code == 'F'; }))
    throw Error(describe(path) + ": unexpected data-line format");
  std::size_t width = 0;
  for (const Format::Rule& r : rules) width += static_cast<std::size_t>(r.w);

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
  const Format::Rule reg_rule = rules[0];
  const Format::Rule lon_rule = rules[1];
  const Format::Rule lat_rule = rules[2];
  // The format is always "(I4,2F8.3,nnnF12.3)"; the inline path relies on
  // three decimals everywhere and twelve characters per value column.
  const bool all_f3 = lon_rule.m == 3 && lat_rule.m == 3 &&
                      std::all_of(rules.begin() + 3, rules.end(),
                                  [](const Format::Rule& r) { return r.m == 3 && r.w == 12; });
  const std::size_t stride = values.extent(0);
  const float* const data = values.data();
  const std::size_t line_len = width + 1;
  for (std::size_t i = 0; i < rows;) {
    const std::size_t room = buf.size() < OutFile::kBufferSize ? OutFile::kBufferSize - buf.size() : 0;
    const std::size_t block = std::min(rows - i, std::max<std::size_t>(1, (room + line_len - 1) / line_len));
    const std::size_t at = buf.size();
    buf.resize(at + block * line_len);
    char* p = buf.data() + at;
    for (const std::size_t end = i + block; i < end; ++i) {
      const Value code = truncated_int(reg(i));
      if (code.kind == Value::Kind::Int) put_int(p, reg_rule.w, reg_rule.m, code.i);
      else put_stars(p, reg_rule.w);
      p += reg_rule.w;
      if (all_f3) {
        put_real_f3(p, lon_rule.w, lon(i));
        p += lon_rule.w;
        put_real_f3(p, lat_rule.w, lat(i));
        p += lat_rule.w;
        const float* v = data + i;
        for (std::size_t j = 0; j < cols; ++j, v += stride, p += 12) put_real_f3(p, 12, *v);
      } else {
        put_real(p, lon_rule.w, lon_rule.m, lon(i));
        p += lon_rule.w;
        put_real(p, lat_rule.w, lat_rule.m, lat(i));
        p += lat_rule.w;
        for (std::size_t j = 0; j < cols; ++j) {
          const Format::Rule& r = rules[3 + j];
          put_real(p, r.w, r.m, data[j * stride + i]);
          p += r.w;
        }
      }
      *p++ = '\n';
    }
    out.flush_if_full();
  }

  out.commit();
}

}  // namespace dx
