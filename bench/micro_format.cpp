// Cost of one station line of a text table, 18 value columns:
// I4, 2F8.3, 18F12.3 (236 characters), written three ways: through a parsed
// Format, through the field primitives directly, and through snprintf for
// reference (snprintf has no asterisk fields, so it is not a substitute).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/format.hpp"

namespace {

constexpr int kColumns = 18;
constexpr int kStations = 1024;  // cycled through, so the data is not one hot line
constexpr std::size_t kLineLen = 20 + 12 * kColumns;

struct Table {
  std::vector<float> reg, lon, lat;
  std::vector<float> values;  // station-major: (j * kStations) + i
};

const Table& table() {
  static const Table t = [] {
    Table t;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> reg(1.0f, 9.99f), lon(100.0f, 110.0f), lat(8.0f, 24.0f),
        value(-50.0f, 500.0f);
    for (int i = 0; i < kStations; ++i) {
      t.reg.push_back(reg(rng));
      t.lon.push_back(lon(rng));
      t.lat.push_back(lat(rng));
    }
    for (int n = 0; n < kStations * kColumns; ++n) t.values.push_back(value(rng));
    return t;
  }();
  return t;
}

void BM_LineFormatApply(benchmark::State& state) {
  const Table& t = table();
  const dx::Format fmt = dx::Format::parse("(I4,2F8.3, 18F12.3)");
  std::array<dx::Value, 3 + kColumns> items;
  std::string line;
  line.reserve(kLineLen + 1);
  int i = 0;
  for (auto _ : state) {
    items[0] = dx::truncated_int(t.reg[i]);
    items[1] = dx::Value::real(t.lon[i]);
    items[2] = dx::Value::real(t.lat[i]);
    for (int j = 0; j < kColumns; ++j) items[3 + j] = dx::Value::real(t.values[j * kStations + i]);
    line.clear();
    dx::write_line(fmt, items, line);
    benchmark::DoNotOptimize(line.data());
    benchmark::ClobberMemory();
    i = (i + 1) % kStations;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLineLen + 1));
}
BENCHMARK(BM_LineFormatApply);

void BM_LinePrimitives(benchmark::State& state) {
  const Table& t = table();
  char line[kLineLen + 1];
  int i = 0;
  for (auto _ : state) {
    char* p = line;
    const dx::Value reg = dx::truncated_int(t.reg[i]);
    if (reg.kind == dx::Value::Kind::Int) dx::put_int(p, 4, -1, reg.i);
    else dx::put_stars(p, 4);
    p += 4;
    dx::put_real(p, 8, 3, t.lon[i]);
    p += 8;
    dx::put_real(p, 8, 3, t.lat[i]);
    p += 8;
    for (int j = 0; j < kColumns; ++j, p += 12) dx::put_real(p, 12, 3, t.values[j * kStations + i]);
    *p = '\n';
    benchmark::DoNotOptimize(line);
    benchmark::ClobberMemory();
    i = (i + 1) % kStations;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLineLen + 1));
}
BENCHMARK(BM_LinePrimitives);

void BM_LineSnprintf(benchmark::State& state) {
  const Table& t = table();
  char line[kLineLen + 64];
  int i = 0;
  for (auto _ : state) {
    int n = std::snprintf(line, sizeof line, "%4d%8.3f%8.3f", static_cast<int>(t.reg[i]), static_cast<double>(t.lon[i]),
                          static_cast<double>(t.lat[i]));
    for (int j = 0; j < kColumns; ++j)
      n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%12.3f",
                         static_cast<double>(t.values[j * kStations + i]));
    line[n] = '\n';
    benchmark::DoNotOptimize(line);
    benchmark::ClobberMemory();
    i = (i + 1) % kStations;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLineLen + 1));
}
BENCHMARK(BM_LineSnprintf);

// Parsing is done once per table; shown for scale.
void BM_ParseDataFormat(benchmark::State& state) {
  for (auto _ : state) {
    dx::Format fmt = dx::Format::parse("(I4,2F8.3, 18F12.3)");
    benchmark::DoNotOptimize(fmt);
  }
}
BENCHMARK(BM_ParseDataFormat);

}  // namespace
