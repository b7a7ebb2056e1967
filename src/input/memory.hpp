#pragma once
// How much memory the run can still obtain.  The physical memory of the
// machine is not the answer: in a container (a memory control group) or
// beside other programs the kernel gives far less, and memory that is
// promised but not there ends the process with the out-of-memory killer
// instead of a failed allocation.  Arrays sized by an input file are
// checked against this before they are allocated.
#include <cstdint>
#include <new>
#include <optional>
#include <string>

namespace dx {

// The least of: the machine's physical memory, the memory the system
// reports available (MemAvailable and free swap), and the room left under
// the memory limit of the process's control group and of each group above
// it (cgroup v2 memory.max - memory.current, or cgroup v1
// memory.limit_in_bytes - memory.usage_in_bytes).  Sources that cannot be
// read are left out; 0 when none can.
std::uint64_t obtainable_memory();

// Physical memory of the machine in bytes, 0 when it cannot be told.
std::uint64_t physical_memory();

// Whether `bytes` more of address space can be mapped now (under an
// address-space limit, ulimit -v, it may not): mapped, without touching
// it, and let go.
bool address_space_room(std::uint64_t bytes);

// What stands in the way of a reservation.
struct Shortfall {
  enum class Kind { Machine, Obtainable, Allocation } kind;
  std::uint64_t have = 0;  // the machine's memory, or what this run can obtain now
  // For the end of a refusal message: "more than the machine's memory (P
  // bytes)", "more than this run can obtain now (P bytes)", or "not enough
  // memory" (the allocation itself failed).
  std::string text() const;
};

// Checks `bytes` against the machine's memory and `obtainable_bytes`
// against the memory this run can still obtain (obtainable_memory(), not
// asked when `obtainable_bytes` is 0); a limit that cannot be told is no
// shortfall.
std::optional<Shortfall> memory_shortfall(std::uint64_t bytes, std::uint64_t obtainable_bytes);

// Checks as memory_shortfall, then calls `allocate` unless something is in
// the way; a std::bad_alloc from it is a shortfall of kind Allocation.
template <typename Allocate>
std::optional<Shortfall> reserve_memory(std::uint64_t bytes, std::uint64_t obtainable_bytes, Allocate&& allocate) {
  if (std::optional<Shortfall> s = memory_shortfall(bytes, obtainable_bytes)) return s;
  try {
    allocate();
  } catch (const std::bad_alloc&) {
    return Shortfall{Shortfall::Kind::Allocation};
  }
  return std::nullopt;
}

// The same without the physical memory, the files read from other roots
// (meminfo and self/cgroup under proc_root, the groups under cgroup_root).
std::uint64_t obtainable_memory(const std::string& proc_root, const std::string& cgroup_root);

}  // namespace dx
