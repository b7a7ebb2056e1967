#pragma once
// The sample generator (tools/gen_sample.cpp) run from the tests, and the
// column dimension it declares in each 2-D result file.
#include <gtest/gtest.h>

#include <string>

#include "support/process.hpp"

namespace dxtest::sample {

// Column dimension of the 2-D result files, by file (input/result_files.hpp).
inline const char* const kColumnDim[] = {"cls", "idx", "cls", "cls", "period"};

// Runs the generator (DIR absolute, created if missing); fails the test if it does not succeed.
inline void generate(const std::string& dir, int stations, int seed, const std::string& format = "classic") {
  const Outcome r = run({.argv = {DX_SAMPLE_BINARY, "--out", dir, "--stations", std::to_string(stations), "--seed",
                                  std::to_string(seed), "--format", format},
                         .cwd = "/"});
  ASSERT_EQ(r.status, 0) << r.err;
}

}  // namespace dxtest::sample
