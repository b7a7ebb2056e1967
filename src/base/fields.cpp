#include "base/fields.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace dx {
namespace {

// Copies n bytes; fields are mostly 4 to 16 characters, and two overlapping
// fixed-size copies avoid a library call for those.
inline void copy_small(char* dst, const char* src, int n) {
  if (n >= 8 && n <= 16) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else if (n > 0) {
    std::memcpy(dst, src, static_cast<std::size_t>(n));
  }
}

// Right-justifies [text, text+len) in a field of w, or asterisks when longer.
void put_justified(char* dst, int w, const char* text, int len) {
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  std::memset(dst, ' ', static_cast<std::size_t>(w - len));
  std::memcpy(dst + (w - len), text, static_cast<std::size_t>(len));
}

// Fw.d via the exact decimal expansion of the value (slow path, wide fields
// and many decimals).  std::to_chars is exact and rounds ties to even.
void put_real_exact(char* dst, int w, int d, double v) {
  char buf[400];
  // One byte kept free for the point that Fw.0 adds.
  const auto res = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::fixed, d);
  if (res.ec != std::errc{}) {
    put_stars(dst, w);
    return;
  }
  int len = static_cast<int>(res.ptr - buf);
  if (d == 0) buf[len++] = '.';  // Fw.0 still writes the point
  const char* text = buf;
  // A field one column too narrow drops the leading zero ("0.500" -> ".500").
  if (len == w + 1) {
    if (buf[0] == '0' && buf[1] == '.') {
      text = buf + 1;
      --len;
    } else if (buf[0] == '-' && buf[1] == '0' && buf[2] == '.') {
      buf[1] = '-';
      text = buf + 1;
      --len;
    }
  }
  put_justified(dst, w, text, len);
}

}  // namespace

Value truncated_int(float x) {
  // Every float in [-2^31, 2^31) truncates into the 32-bit range.
  if (!(x > -2147483904.0f && x < 2147483648.0f)) return Value::bad_int();
  return Value::integer(static_cast<std::int32_t>(x));
}

void put_stars(char* dst, int w) {
  if (w > 0) std::memset(dst, '*', static_cast<std::size_t>(w));
}

void put_int(char* dst, int w, int min_digits, std::int32_t v) {
  if (w <= 0) return;
  const bool neg = v < 0;
  // Unsigned negation: the magnitude of INT32_MIN has no int32 form.
  const std::uint32_t mag = neg ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
  char buf[32];
  std::memset(buf, ' ', sizeof buf);
  char* const end = buf + sizeof buf;
  // Iw.0 of zero writes no digit at all: an all-blank field.
  char* digits = (min_digits == 0 && mag == 0) ? end : digits_backward(end, mag);
  const int ndig = static_cast<int>(end - digits);
  const int body = std::max(ndig, min_digits);  // leading zeros up to m digits
  const int len = body + (neg ? 1 : 0);
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  if (w < static_cast<int>(sizeof buf)) {
    // The whole field in the buffer, blanks included, then one short copy.
    while (digits > end - body) *--digits = '0';
    if (neg) *--digits = '-';
    copy_small(dst, end - w, w);
    return;
  }
  char* o = dst;
  std::memset(o, ' ', static_cast<std::size_t>(w - len));
  o += w - len;
  if (neg) *o++ = '-';
  std::memset(o, '0', static_cast<std::size_t>(body - ndig));
  o += body - ndig;
  std::memcpy(o, digits, static_cast<std::size_t>(ndig));
}

void put_real_general(char* dst, int w, int d, float v) {
  if (std::isnan(v)) {
    put_justified(dst, w, "NaN", 3);
    return;
  }
  if (std::isinf(v)) {
    if (v > 0) {
      if (w >= 8) put_justified(dst, w, "Infinity", 8);
      else put_justified(dst, w, "Inf", 3);
    } else {
      if (w >= 9) put_justified(dst, w, "-Infinity", 9);
      else put_justified(dst, w, "-Inf", 4);
    }
    return;
  }
  if (d < 0 || d > kMaxExactDecimals) {
    put_real_exact(dst, w, d < 0 ? 0 : d, static_cast<double>(v));
    return;
  }
  const double scaled = std::fabs(static_cast<double>(v) * kPow10[d]);  // exact
  if (!(scaled < 1e18)) {
    // Beyond 64-bit integers: only a very wide field can hold it.
    if (w > 19) put_real_exact(dst, w, d, static_cast<double>(v));
    else put_stars(dst, w);
    return;
  }
  // The digits into a blank-filled buffer.
  char buf[48];
  std::memset(buf, ' ', sizeof buf);
  char* const end = buf + sizeof buf;
  char* p = fixed_backward(end, round_ties_even(scaled), d);
  const bool neg = std::signbit(v);  // also for a value that rounds to zero
  int len = static_cast<int>(end - p) + (neg ? 1 : 0);
  if (len == w + 1 && p[0] == '0') {
    *p++ = ' ';  // a field one column too narrow drops the leading zero
    --len;
  }
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  if (neg) *--p = '-';
  if (w <= static_cast<int>(sizeof buf)) copy_small(dst, end - w, w);  // blanks included
  else put_justified(dst, w, p, len);
}

void put_text(char* dst, int w, std::string_view text) {
  if (w <= 0) return;
  const int len = static_cast<int>(text.size());
  if (len >= w) {
    std::memcpy(dst, text.data(), static_cast<std::size_t>(w));
  } else {
    std::memset(dst, ' ', static_cast<std::size_t>(w - len));
    std::memcpy(dst + (w - len), text.data(), text.size());
  }
}

}  // namespace dx
