#include "base/console.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/error.hpp"
#include "base/format.hpp"
#include "base/text.hpp"

namespace dx {
namespace {

[[noreturn]] void stream_failed(std::FILE* stream, const char* name, int err) {
  std::clearerr(stream);
  throw Error(std::string("cannot write to ") + name + ": " + system_reason(err));
}

}  // namespace

void console_line(std::span<const Value> values) {
  std::string line;
  list_line(values, line);
  console_write(line);
}

void console_write(std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) stream_failed(stdout, "standard output", errno);
}

void console_flush() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) stream_failed(stdout, "standard output", errno);
}

void warn(const std::string& message) {
  console_flush();
  const std::string line = "drought-export: warning: " + printable(message) + "\n";
  errno = 0;
  if (std::fputs(line.c_str(), stderr) == EOF || std::fflush(stderr) != 0)
    stream_failed(stderr, "standard error", errno);
}

}  // namespace dx
