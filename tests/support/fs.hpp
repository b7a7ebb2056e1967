#pragma once
// File-system helpers of the tests: a temporary folder removed at the end of
// the test, a small tmpfs that fills up, a change of the working folder,
// whole-file reads and writes, lines of a text, listings and snapshots of a
// folder.
#include <cstddef>
#include <map>
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

// A tmpfs of `bytes` mounted over a fresh temporary folder, unmounted at the
// end.  Mounting needs root; when it is refused, ok() is false and reason()
// says why (the test then skips).
class SmallTmpfs {
 public:
  // With `inodes` > 0, the file system also holds at most that many files
  // and folders, its root included.
  explicit SmallTmpfs(std::size_t bytes, std::size_t inodes = 0);
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool ok() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string reason_;
};

// Changes the working folder for the life of the object.
class InFolder {
 public:
  explicit InFolder(const std::string& path);
  ~InFolder();
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::string old_;
};

// The lines of a text, without their line feeds; text after the last line
// feed fails the test.
std::vector<std::string> lines_of(const std::string& text);

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
// Every regular file below a folder with its content, by relative path.
std::map<std::string, std::string> snapshot(const std::string& dir);

}  // namespace dxtest
