#pragma once
// How much memory the run can still obtain.  The physical memory of the
// machine is not the answer: in a container (a memory control group) or
// beside other programs the kernel gives far less, and memory that is
// promised but not there ends the process with the out-of-memory killer
// instead of a failed allocation.  Arrays sized by an input file are
// checked against this before they are allocated.
#include <cstdint>
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

// Why `bytes` cannot be had, for the end of a refusal message: "more than
// the machine's memory (P bytes)", or "more than this run can obtain now
// (P bytes)" (obtainable_memory()); empty when they can, or when the
// amount cannot be told.
std::string beyond_machine_memory(std::uint64_t bytes);
std::string beyond_obtainable_memory(std::uint64_t bytes);

// The same without the physical memory, the files read from other roots
// (meminfo and self/cgroup under proc_root, the groups under cgroup_root).
std::uint64_t obtainable_memory(const std::string& proc_root, const std::string& cgroup_root);

}  // namespace dx
