#pragma once
// The inputs of a run looked up before the first progress line, so that a
// missing one is reported at once, with what to do about it, instead of
// after the reads of every file before it.
#include "run/options.hpp"

namespace dx {

// Throws Error for the first input, in reading order, that is missing (or
// cannot be looked up) or is not a regular file: the message a read of its
// first variable would give, with a remedy where the likely cause is known
// (no result file at all where they are read; the station file at its
// fixed path).  Call it in the folder the result files are read from.
void check_inputs(const Options& opt);

}  // namespace dx
