#pragma once
// The one error type of the tool: a failure that ends the run.  `main`
// prints its message as "drought-export: error: <message>" on standard
// error and exits with status 1.
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace dx {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The system's words for the error number `err`; a failure that left no
// number (0) is an input/output error.
inline std::string system_reason(int err) { return std::strerror(err != 0 ? err : EIO); }

}  // namespace dx
