#pragma once
// Fw.3 fields of the station tables, written straight into their place in
// the line.  A table line is mostly F12.3 fields of values of modest size;
// this inline path formats those with no intermediate buffer and hands
// every other case (NaN, infinities, values too wide for the field, other
// widths) to put_real, so the bytes are always exactly put_real's.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/fields.hpp"

namespace dx {

// Largest scaled magnitude (value x 1000) handled inline for a field of
// 8 + i characters: its rounded form has at most w - 2 digits, so sign,
// digits and point always fit and no field overflows here.
inline constexpr double kFastF3Limit[] = {999999.0,       9999999.0,       99999999.0,
                                          999999999.0,    9999999999.0,    99999999999.0,
                                          999999999999.0, 9999999999999.0, 99999999999999.0};

// Same bytes as put_real(dst, w, 3, v).
inline void put_real_f3(char* dst, int w, float v) {
  // Exact: a float times 1000 needs at most 34 significant bits.
  const double scaled = std::fabs(static_cast<double>(v) * 1000.0);
  if (w < 8 || w > 16 || !(scaled < kFastF3Limit[w - 8])) {
    put_real(dst, w, 3, v);
    return;
  }
  std::uint64_t n = round_ties_even(scaled);

  // Blank the field with two overlapping 8-byte stores, then write the
  // digits from the right: three decimals, the point, the integer part
  // ("0" at least) and the sign (kept for a negative value that rounds to
  // zero).
  std::memcpy(dst, "        ", 8);
  std::memcpy(dst + w - 8, "        ", 8);
  char* p = dst + w - 3;
  const auto dec = static_cast<unsigned>(n % 1000);
  n /= 1000;
  p[0] = static_cast<char>('0' + dec / 100);
  std::memcpy(p + 1, kDigitPairs + 2 * (dec % 100), 2);
  *--p = '.';
  p = digits_backward(p, n);
  if (std::signbit(v)) *--p = '-';
}

}  // namespace dx
