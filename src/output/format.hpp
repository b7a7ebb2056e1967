#pragma once
// Fixed-format text rules: fixed-width fields (A, Aw, Iw, Iw.m, Fw.d, nX and
// TRn, with repeat counts and parenthesised groups) and free-form console
// lines.  A format is parsed once and applied to many lines; applying it
// allocates nothing beyond the growth of the caller's output buffer.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dx {

// One value of a formatted write: a text, a 4-byte integer or a 4-byte real.
// BadInt stands for a real that has no 32-bit integer conversion (NaN or out
// of range): an integer rule writes it as a field of asterisks.
struct Value {
  enum class Kind : std::uint8_t { Text, Int, Real, BadInt };
  Kind kind = Kind::Int;
  std::int32_t i = 0;
  float r = 0.0f;
  std::string_view s;

  static Value text(std::string_view t) { Value v; v.kind = Kind::Text; v.s = t; return v; }
  static Value integer(std::int32_t n) { Value v; v.kind = Kind::Int; v.i = n; return v; }
  static Value real(float x) { Value v; v.kind = Kind::Real; v.r = x; return v; }
  static Value bad_int() { Value v; v.kind = Kind::BadInt; return v; }
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
void put_real(char* dst, int w, int d, float v);
// Aw: right-justified when shorter than w, else the leftmost w characters.
void put_text(char* dst, int w, std::string_view text);

class Format {
 public:
  // One field rule after repeat counts and groups are expanded.
  struct Rule {
    char code;       // 'A', 'I', 'F' or 'X'
    int w;           // width (-1 for a plain A); skip count for 'X'
    int m;           // digits after the point (F) or minimum digits (I, -1: none)
  };

  // Parses a format such as "(I4,2F8.3, 18F12.3)" or "(A3,TR1,2(A6,TR2),100A12)".
  // Throws Error on a malformed format.
  static Format parse(std::string_view text);

  // Appends the fields of one line for the given values, without a line
  // feed.  The line ends when the values are used up and the next rule
  // would need one.  Throws Error, leaving `out` as it was, when a value
  // does not suit its rule or the values outnumber the rules.
  void apply(std::span<const Value> values, std::string& out) const;

  const std::vector<Rule>& rules() const { return rules_; }

 private:
  std::vector<Rule> rules_;
};

// apply() followed by a line feed.
void write_line(const Format& fmt, std::span<const Value> values, std::string& out);

// Formatted write into a fixed-length text field: the text padded on the
// right with blanks to len characters, no line feed.  Throws Error when the
// text is longer than the field.
std::string write_field(const Format& fmt, std::span<const Value> values, std::size_t len);

// Free-form console line: one leading blank, texts at their full length with
// no separator, integers as I12, then a line feed.  Reals are not used by
// this tool's console lines and are refused.
void list_line(std::span<const Value> values, std::string& out);

}  // namespace dx
