#include "input/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace dx {
namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// The first number of a one-line file ("max" and unreadable files: none).
std::uint64_t number_in(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return kNone;
  try {
    return std::stoull(word);
  } catch (...) {
    return kNone;
  }
}

// MemAvailable + SwapFree from a meminfo file, in bytes.
std::uint64_t available_in(const std::string& meminfo) {
  std::ifstream in(meminfo);
  std::string key, line;
  std::uint64_t kb = 0, avail = kNone, swap = 0;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    if (!(ls >> key >> kb)) continue;
    if (key == "MemAvailable:") avail = kb * 1024;
    else if (key == "SwapFree:") swap = kb * 1024;
  }
  return avail == kNone ? kNone : avail + swap;
}

// Room left under a limit: limit - usage (0 when over it); none without a limit.
std::uint64_t room(std::uint64_t limit, std::uint64_t usage) {
  if (limit == kNone) return kNone;
  if (usage == kNone) return limit;
  return limit > usage ? limit - usage : 1;  // nothing left (0 would mean "cannot tell")
}

// The least room left under the limits of a control group and of every
// group above it, for one hierarchy.
std::uint64_t cgroup_room(const std::string& dir_root, std::string path, const char* limit_file,
                          const char* usage_file) {
  std::uint64_t best = kNone;
  while (true) {
    const std::string dir = dir_root + (path == "/" ? "" : path);
    best = std::min(best, room(number_in(dir + "/" + limit_file), number_in(dir + "/" + usage_file)));
    if (path.empty() || path == "/") break;
    const auto slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  return best;
}

}  // namespace

std::uint64_t obtainable_memory(const std::string& proc_root, const std::string& cgroup_root) {
  std::uint64_t best = available_in(proc_root + "/meminfo");

  // /proc/self/cgroup: "id:controllers:path", "0::path" for cgroup v2.
  std::ifstream in(proc_root + "/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const auto a = line.find(':');
    const auto b = a == std::string::npos ? std::string::npos : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    const std::string path = line.substr(b + 1);
    if (controllers.empty()) {
      best = std::min(best, cgroup_room(cgroup_root, path, "memory.max", "memory.current"));
    } else {
      std::istringstream cs(controllers);
      std::string c;
      while (std::getline(cs, c, ','))
        if (c == "memory")
          best = std::min(best,
                          cgroup_room(cgroup_root + "/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes"));
    }
  }
  return best == kNone ? 0 : best;
}

bool address_space_room(std::uint64_t bytes) {
  void* p = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
                   0);
  if (p == MAP_FAILED) return false;
  static_cast<void>(::munmap(p, static_cast<std::size_t>(bytes)));  // a mapping just made: cannot fail
  return true;
}

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

std::uint64_t obtainable_memory() {
  const std::uint64_t best = obtainable_memory("/proc", "/sys/fs/cgroup");
  const std::uint64_t phys = physical_memory();
  if (phys == 0) return best;
  return best == 0 ? phys : std::min(best, phys);
}

std::string Shortfall::text() const {
  switch (kind) {
    case Kind::Machine: return "more than the machine's memory (" + std::to_string(have) + " bytes)";
    case Kind::Obtainable: return "more than this run can obtain now (" + std::to_string(have) + " bytes)";
    case Kind::Allocation: break;
  }
  return "not enough memory";
}

std::optional<Shortfall> memory_shortfall(std::uint64_t bytes, std::uint64_t obtainable_bytes) {
  const std::uint64_t phys = physical_memory();
  if (phys != 0 && bytes > phys) return Shortfall{Shortfall::Kind::Machine, phys};
  // Reading the system's files costs time: only when there is something to ask.
  if (obtainable_bytes == 0) return std::nullopt;
  const std::uint64_t can = obtainable_memory();
  if (can != 0 && obtainable_bytes > can) return Shortfall{Shortfall::Kind::Obtainable, can};
  return std::nullopt;
}

}  // namespace dx
