#pragma once
// Writing an output file through every path of OutFile: buffer appends
// that cross the buffer size, explicit flushes, and the sink's reusable
// buffers handed over as views and refilled once their writes are done.
#include <cstddef>
#include <string>

#include "output/sink.hpp"

namespace dxtest {

// Writes `path` through `sink` and commits it; returns what the file must
// hold.  The bytes differ with `seed`, so that output written twice,
// skipped, reordered or from a buffer changed too early shows.
std::string write_every_way(dx::OutputSink& sink, const std::string& path, std::size_t seed);

}  // namespace dxtest
