#include "support/fs.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dxtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dx-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

SmallTmpfs::SmallTmpfs(std::size_t bytes, std::size_t inodes) {
  if (geteuid() != 0) {
    reason_ = "mounting a small tmpfs needs root";
    return;
  }
  std::string opts = "size=" + std::to_string(bytes);
  if (inodes > 0) opts += ",nr_inodes=" + std::to_string(inodes);
  if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts.c_str()) != 0) {
    reason_ = std::string("mount of a tmpfs refused: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_ && ::umount2(dir_.path().c_str(), 0) != 0) ::umount2(dir_.path().c_str(), MNT_DETACH);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string varied_text(std::size_t n, std::size_t seed) {
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed * 13) % 26);
  return s;
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[std::filesystem::relative(e.path(), dir)] = read_file(e.path());
  return files;
}

InFolder::InFolder(const std::string& path) : old_(std::filesystem::current_path()) {
  std::filesystem::current_path(path);
}

InFolder::~InFolder() {
  std::error_code ec;
  std::filesystem::current_path(old_, ec);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  EXPECT_EQ(start, text.size()) << "the last line has no line feed";
  return lines;
}

}  // namespace dxtest
