#pragma once
// Fixed-width fields: the values of a formatted write and the primitives
// that lay out one field (Aw, Iw, Iw.m, Fw.d, a field of asterisks) at a
// given place in a line.  A number that does not fit its field becomes a
// field of asterisks.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace dx {

// Two decimal digits per table lookup.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of n ending just before `end`; returns the start.
inline char* digits_backward(char* end, std::uint64_t n) {
  while (n >= 100) {
    const unsigned pair = static_cast<unsigned>(n % 100);
    n /= 100;
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * pair, 2);
  }
  if (n >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * n, 2);
  } else {
    *--end = static_cast<char>('0' + n);
  }
  return end;
}

// Writes the rounded scaled value n as d decimals, the point and the
// integer part ("0" at least) ending just before `end`; returns the start.
inline char* fixed_backward(char* end, std::uint64_t n, int d) {
  char* p = end;
  for (int k = d; k >= 2; k -= 2) {
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * (n % 100), 2);
    n /= 100;
  }
  if (d & 1) {
    *--p = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  *--p = '.';
  return digits_backward(p, n);
}

// Rounds an exact non-negative scaled value (a value times 10^d, below
// 2^64) to the nearest integer, ties to even.  Both the truncation and the
// fraction are exact, so this does not depend on the processor's rounding
// mode; branch-free, as the fraction is as good as random in a table.
inline std::uint64_t round_ties_even(double scaled) {
  std::uint64_t n = static_cast<std::uint64_t>(scaled);
  const double frac = scaled - static_cast<double>(n);
  n += static_cast<std::uint64_t>((frac > 0.5) | ((frac == 0.5) & static_cast<bool>(n & 1)));
  return n;
}

// One value of a formatted write: a text, a 4-byte integer or a 4-byte real.
// BadInt stands for a real that has no 32-bit integer conversion (NaN or out
// of range): an integer rule writes it as a field of asterisks.
struct Value {
  enum class Kind : std::uint8_t { Text, Int, Real, BadInt };
  Kind kind = Kind::Int;
  std::int32_t i = 0;
  float r = 0.0f;
  std::string_view s;

  static Value text(std::string_view t) {
    Value v;
    v.kind = Kind::Text;
    v.s = t;
    return v;
  }
  static Value integer(std::int32_t n) {
    Value v;
    v.kind = Kind::Int;
    v.i = n;
    return v;
  }
  static Value real(float x) {
    Value v;
    v.kind = Kind::Real;
    v.r = x;
    return v;
  }
  static Value bad_int() {
    Value v;
    v.kind = Kind::BadInt;
    return v;
  }
};

// Converts a real to a 32-bit integer by truncation toward zero (3.9 -> 3,
// -2.7 -> -2).  NaN and values outside the 32-bit range give BadInt.
Value truncated_int(float x);

// Field primitives: each writes exactly w characters at dst.
void put_stars(char* dst, int w);
// Iw (min_digits < 0) or Iw.m (min_digits = m).
void put_int(char* dst, int w, int min_digits, std::int32_t v);
// Fw.d: the exact binary value rounded to d decimals, ties to even; a
// negative value that rounds to zero keeps its sign; NaN gives "NaN",
// infinities "Infinity"/"-Infinity" (or "Inf"/"-Inf" when narrower).
inline void put_real(char* dst, int w, int d, float v);
// Fw.d for every case: put_real's own path for what its inline part does
// not take (NaN, infinities, fields too wide or too narrow, many decimals).
void put_real_general(char* dst, int w, int d, float v);
// Aw: right-justified when shorter than w, else the leftmost w characters.
void put_text(char* dst, int w, std::string_view text);

// Exact powers of ten as doubles.  A float has 24 significant bits and 5^d
// at most 28 for d <= 12, so a float times 10^d (d <= 12) is exact.
inline constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14};
inline constexpr int kMaxExactDecimals = 12;

// The common case inline: a field of 8 to 16 characters, at most 12 and at
// most w - 3 decimals, and a value whose rounded digits number at most
// w - 2, so that sign, digits and point always fit and no field overflows
// or loses its leading zero.  A table line is mostly such fields.
inline void put_real(char* dst, int w, int d, float v) {
  if (w < 8 || w > 16 || d < 0 || d > w - 3 || d > kMaxExactDecimals) {
    put_real_general(dst, w, d, v);
    return;
  }
  // NaN fails the comparison, and an infinity is never below the limit.
  const double scaled = std::fabs(static_cast<double>(v) * kPow10[d]);
  if (!(scaled < kPow10[w - 2] - 1.0)) {
    put_real_general(dst, w, d, v);
    return;
  }
  // Blank the field with two overlapping 8-byte stores, then the digits
  // from the right and the sign (kept for a negative value that rounds to
  // zero).
  std::memcpy(dst, "        ", 8);
  std::memcpy(dst + w - 8, "        ", 8);
  char* const p = fixed_backward(dst + w, round_ties_even(scaled), d);
  if (std::signbit(v)) p[-1] = '-';
}

}  // namespace dx
