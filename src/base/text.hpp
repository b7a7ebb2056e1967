#pragma once
// Fixed-length text fields: padding to a field's length and trimming the
// trailing blanks of a field.
#include <cstddef>
#include <string>
#include <string_view>

namespace dx {

// Pads (or cuts) a text to a fixed length with trailing blanks.
inline std::string pad_to(std::string_view text, std::size_t len) {
  std::string s(text.substr(0, len));
  s.resize(len, ' ');
  return s;
}

// Removes trailing blanks.
inline std::string_view trim_right(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

}  // namespace dx
