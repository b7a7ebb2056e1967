#include "output/console.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "run/error.hpp"

namespace dx {
namespace {

[[noreturn]] void stdout_failed(int err) {
  std::clearerr(stdout);
  throw Error(std::string("cannot write to standard output: ") + std::strerror(err ? err : EIO));
}

}  // namespace

void console_line(std::span<const Value> values) {
  thread_local std::string line;
  line.clear();
  list_line(values, line);
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) stdout_failed(errno);
}

void console_flush() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) stdout_failed(errno);
}

}  // namespace dx
