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

#include "base/fields.hpp"

namespace dx {

class Format {
 public:
  // One field rule after repeat counts and groups are expanded.
  struct Rule {
    char code;  // 'A', 'I', 'F' or 'X'
    int w;      // width (-1 for a plain A); skip count for 'X'
    int m;      // digits after the point (F) or minimum digits (I, -1: none)
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
