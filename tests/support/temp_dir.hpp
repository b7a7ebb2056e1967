#pragma once
// Test helpers: a temporary folder removed at the end of the test, whole-file
// reads, and running the real binary with its output captured.
#include <cstddef>
#include <string>
#include <vector>

namespace dxtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of a file; fails the test if it cannot be read.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Text of `n` letters that differs from place to place and with `seed`, so
// that output written twice, skipped, reordered or from a buffer changed too
// early shows.
std::string varied_text(std::size_t n, std::size_t seed);
// Names of the entries of a folder, sorted.
std::vector<std::string> list_dir(const std::string& path);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};
// Runs argv[0] with the arguments in folder `cwd`, capturing both streams.
// `stdout_path`, when given, is opened as standard output instead.
RunResult run_command(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::string& stdout_path = "");

}  // namespace dxtest
