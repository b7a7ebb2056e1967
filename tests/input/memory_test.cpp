// The memory a run can obtain, and inputs whose declared dimensions need
// more than that.  In a container (a memory control group) the machine's
// physical memory is far more than the kernel gives; an array allocated
// on the strength of it is killed by the out-of-memory killer when filled,
// with no error line.  Such inputs must be refused with a clear message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <netcdf.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "input/memory.hpp"
#include "support/nc_fixture.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

namespace {

using dxtest::TempDir;

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;

void put(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  dxtest::write_file(path, content);
}

TEST(ObtainableMemory, TheLeastOfAvailableMemoryAndEveryGroupLimitAbove) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // relative to the fake root
    std::uint64_t expected;
  };
  const std::string meminfo = "MemTotal: 8000000 kB\nMemFree: 100 kB\nMemAvailable: 4000000 kB\nSwapFree: 96 kB\n";
  const std::uint64_t avail = (4000000ull + 96) * 1024;
  const Case cases[] = {
      {"available memory and free swap", {{"proc/meminfo", meminfo}}, avail},
      {"cgroup v1: the tighter of the group and its parent",
       {{"proc/meminfo", meminfo},
        {"proc/self/cgroup", "5:cpu,cpuacct:/a/b\n4:memory:/a/b\n"},
        {"cg/memory/a/b/memory.limit_in_bytes", std::to_string(500 * MiB) + "\n"},
        {"cg/memory/a/b/memory.usage_in_bytes", std::to_string(100 * MiB) + "\n"},
        {"cg/memory/a/memory.limit_in_bytes", std::to_string(300 * MiB) + "\n"},
        {"cg/memory/a/memory.usage_in_bytes", std::to_string(250 * MiB) + "\n"},
        {"cg/memory/memory.limit_in_bytes", "9223372036854771712\n"}},
       50 * MiB},
      {"cgroup v2 without a limit",
       {{"proc/meminfo", meminfo},
        {"proc/self/cgroup", "0::/x\n"},
        {"cg/x/memory.max", "max\n"},
        {"cg/x/memory.current", "12345\n"}},
       avail},
      {"cgroup v2 with a limit",
       {{"proc/meminfo", meminfo},
        {"proc/self/cgroup", "0::/x/y\n"},
        {"cg/x/y/memory.max", std::to_string(200 * MiB) + "\n"},
        {"cg/x/y/memory.current", std::to_string(50 * MiB) + "\n"},
        {"cg/x/memory.max", "max\n"}},
       150 * MiB},
      {"a group already over its limit leaves nothing",
       {{"proc/self/cgroup", "0::/x\n"}, {"cg/x/memory.max", "100\n"}, {"cg/x/memory.current", "200\n"}},
       1},
      {"nothing readable: cannot tell", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir root;
    std::filesystem::create_directories(root / "proc");
    for (const auto& [rel, content] : c.files) put(root / rel, content);
    EXPECT_EQ(dx::obtainable_memory(root / "proc", root / "cg"), c.expected);
  }
  // The real system: something, never more than the machine has.
  const std::uint64_t real = dx::obtainable_memory();
  const std::uint64_t machine = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                                static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  EXPECT_GT(real, 0u);
  EXPECT_LE(real, machine);
}

// The run in a memory control group of 512 MiB, on inputs that declare
// arrays of a gigabyte or more: an error line, not the out-of-memory killer.
TEST(ObtainableMemory, InputsBeyondTheGroupLimitFailCleanly) {
  struct Case {
    const char* file;
    const char* var;
    std::size_t stations, columns;  // columns 0: a 1-D variable
  };
  const Case cases[] = {
      {"Num_Drou_Mon_Stn.nc", "N_Drou_mon", std::size_t{1} << 24, 18},   // 1.2 GB of values
      {"Spell_Time_Arr_Stn.nc", "Spell_Ave", std::size_t{1} << 23, 40},  // 1.3 GB, stations differ too
      {"Tq_pdsi_spi_Stn.nc", "pdsi_spi06", std::size_t{1} << 28, 0},     // 1 GB, stations differ too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.var);
    dxtest::MemoryCgroup group(512 * MiB);
    if (!group.ok()) GTEST_SKIP() << "memory limit test skipped: " << group.reason();
    TempDir tmp;
    dxtest::ResultSetOptions opt;
    opt.stations = 5;
    auto files = dxtest::result_set(tmp.path(), tmp / "SPI_Stn.nc", opt);
    dxtest::NcLayout& layout = dxtest::file_of(files, c.file).layout;
    layout.format = dxtest::NcFormat::NetCDF4;  // declared only, nothing stored
    layout.dim("big_stn", c.stations);
    layout.remove(c.var);
    if (c.columns > 0) {
      layout.dim("big_col", c.columns);
      layout.var(c.var, NC_FLOAT, {"big_col", "big_stn"});
    } else {
      layout.var(c.var, NC_FLOAT, {"big_stn"});
    }
    dxtest::write_all(files);

    dxtest::Launch l = dxtest::tool_launch(tmp.path());
    l.cgroup = group.path();
    const dxtest::Outcome r = dxtest::run(l);
    EXPECT_FALSE(group.oom_killed()) << "the out-of-memory killer ended the run";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.err.starts_with(std::string("drought-export: error: ") + c.file + ": variable " + c.var)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::string& n : dxtest::list_dir(tmp.path())) EXPECT_TRUE(n.ends_with(".nc")) << n;
  }
}

}  // namespace
