#pragma once
// Progress lines on standard output.  Every write and the final flush are
// checked: a console that cannot be written ends the run with an error.
#include <initializer_list>
#include <span>

#include "output/format.hpp"

namespace dx {

// Writes one free-form console line (leading blank, texts as they stand,
// integers as I12).
void console_line(std::span<const Value> values);
inline void console_line(std::initializer_list<Value> values) {
  console_line(std::span<const Value>(values.begin(), values.size()));
}

// Flushes standard output; throws Error if anything written could not be.
void console_flush();

}  // namespace dx
