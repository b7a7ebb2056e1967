#pragma once
// The console: progress lines on standard output, warnings on standard
// error.  Every write and the final flush are checked: a console that
// cannot be written ends the run with an error.
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "base/fields.hpp"

namespace dx {

// Writes one free-form console line (leading blank, texts as they stand,
// integers as I12).
void console_line(std::span<const Value> values);
inline void console_line(std::initializer_list<Value> values) {
  console_line(std::span<const Value>(values.begin(), values.size()));
}

// Writes `text` to standard output as it stands.
void console_write(std::string_view text);

// Flushes standard output; throws Error if anything written could not be.
void console_flush();

// Prints "drought-export: warning: <message>" on standard error, a warning
// that does not stop the run; the message is made printable (the names in
// it may hold any bytes), so it is always one line.  Standard output is flushed first, so that
// the warning follows the progress lines it belongs to when both streams
// go to the same place.
void warn(const std::string& message);

}  // namespace dx
