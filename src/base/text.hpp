#pragma once
// Fixed-length text fields: padding to a field's length and trimming the
// trailing blanks of a field; texts made printable on one line.
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

// The prefix of the paths of files in folder `dir`: "DIR/" with one slash,
// "/" for the root, "" for no folder (the working folder).
inline std::string folder_prefix(std::string_view dir) {
  if (dir.empty()) return "";
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return dir == "/" ? std::string(dir) : std::string(dir) + "/";
}

// The text with its control characters escaped as GNU tools quote names
// ("\n", "\t", other bytes as "\ooo"), so that a file or folder name of
// any bytes keeps a message on one line.  Everything else stays as it is.
inline std::string printable(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7f) {
      s += c;
      continue;
    }
    s += '\\';
    switch (c) {
      case '\a': s += 'a'; break;
      case '\b': s += 'b'; break;
      case '\t': s += 't'; break;
      case '\n': s += 'n'; break;
      case '\v': s += 'v'; break;
      case '\f': s += 'f'; break;
      case '\r': s += 'r'; break;
      default:
        s += static_cast<char>('0' + (b >> 6));
        s += static_cast<char>('0' + ((b >> 3) & 7));
        s += static_cast<char>('0' + (b & 7));
    }
  }
  return s;
}

}  // namespace dx
