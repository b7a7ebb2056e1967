// Throughput of the two output writers at a large station count: one
// 18-column statistic for 100,000 stations, written as a station text table
// and as a GrADS station data set.  Output goes into a fresh folder under
// DX_BENCH_DIR, TMPDIR or /tmp (the first that is set); point DX_BENCH_DIR
// at a tmpfs such as /dev/shm to take the disk out of the measurement.
//
//   dx_micro_bench --benchmark_filter=Write
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <system_error>

#include "output/grads.hpp"
#include "output/out_file.hpp"
#include "output/text_table.hpp"
#include "base/labels.hpp"
#include "base/store.hpp"
#include "base/text.hpp"

namespace {

constexpr std::size_t kStations = 100000;
constexpr std::size_t kColumns = dx::kVarnSize;

struct Inputs {
  dx::Store st;
  dx::Array2 values{{kStations, kColumns}};
  std::string title = dx::pad_to("Tan suat han theo cac chi so cua cac tram cua toan chuoi", dx::kTitleLen);

  Inputs() {
    st.NSTN = static_cast<std::int32_t>(kStations);
    st.LON.allocate({kStations});
    st.LAT.allocate({kStations});
    st.REG.allocate({kStations});
    for (std::size_t i = 0; i < kStations; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "Station_%03zu", (i + 1) % 1000);
      st.STATION.push_back(dx::pad_to(name, dx::kStationLen));
      st.LON(i) = 102.0f + static_cast<float>(i % 997) * 0.0137f;
      st.LAT(i) = 8.5f + static_cast<float>(i % 991) * 0.0151f;
      st.REG(i) = static_cast<float>(1 + i % 7);
      for (std::size_t j = 0; j < kColumns; ++j)
        values(i, j) = static_cast<float>((i * 31 + j * 17) % 4001) * 0.0731f - 40.0f;
    }
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

// A scratch folder removed when the benchmark program ends.
struct Scratch {
  std::string path;
  Scratch() {
    const char* base = std::getenv("DX_BENCH_DIR");
    if (!base || !*base) base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dx-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
      std::perror(tmpl.c_str());
      std::exit(1);
    }
    path = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

const std::string& scratch() {
  static Scratch s;
  return s.path;
}

void BM_WriteToText(benchmark::State& state) {
  Inputs& in = inputs();
  const std::string file = scratch() + "/Fre_all.txt";
  dx::DirectSink sink;
  for (auto _ : state) {
    dx::write_to_text(sink, in.values, in.st.NSTN, static_cast<std::int32_t>(kColumns), in.st.LON, in.st.LAT, in.st.REG,
                      dx::VARN, in.title, file);
  }
  const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(file));
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_WriteToText)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WriteGradsStn(benchmark::State& state) {
  Inputs& in = inputs();
  const std::string dir = scratch() + "/";
  dx::DirectSink sink;
  for (auto _ : state) {
    dx::write_grads_stn(sink, in.st.STATION, in.st.LAST_STN_ID, in.values, in.st.LON, in.st.LAT, in.st.NSTN,
                        static_cast<std::int32_t>(kColumns), "Fre_all", dir, "Fre_all");
  }
  const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(dir + "Fre_all.dat") +
                                               std::filesystem::file_size(dir + "Fre_all.ctl"));
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_WriteGradsStn)->Unit(benchmark::kMillisecond)->UseRealTime();

// The I/O floor: the same number of bytes as the GrADS data file written
// through the same atomic output file, with no formatting at all.
void BM_PlainWriteFloor(benchmark::State& state) {
  const std::string file = scratch() + "/floor.dat";
  const std::size_t group = 32 * kStations + 28;
  dx::DirectSink sink;
  std::fill_n(sink.reusable(0, group), group, 'x');
  for (auto _ : state) {
    dx::OutFile out(sink, file);
    for (std::size_t k = 0; k < kColumns; ++k) out.write_reusable(0, group);
    out.commit();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(group * kColumns));
}
BENCHMARK(BM_PlainWriteFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
