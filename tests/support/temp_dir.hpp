#pragma once
// Kept for the tests that still include it: the file-system helpers, and
// run_command(), the older spelling of run() (support/process.hpp).
#include <string>
#include <vector>

#include "support/fs.hpp"
#include "support/process.hpp"

namespace dxtest {

using RunResult = Outcome;
inline Outcome run_command(const std::vector<std::string>& argv, const std::string& cwd) {
  Launch l;
  l.argv = argv;
  l.cwd = cwd;
  return run(l);
}

}  // namespace dxtest
