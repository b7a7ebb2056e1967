#pragma once
// The one error type of the tool: a failure that ends the run.  `main`
// prints its message as "drought-export: error: <message>" on standard
// error and exits with status 1.
#include <stdexcept>
#include <string>

namespace dx {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace dx
