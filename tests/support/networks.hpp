#pragma once
// Station networks in memory for the tests of the maps' plan and scripts:
// a result store of stations at chosen positions, and the list of data
// sets a run writes of it.
#include <string>
#include <utility>
#include <vector>

#include "base/store.hpp"
#include "output/grads.hpp"

namespace dxtest {

// A store of stations at `positions` (lon, lat): 18 classes, 6 indices, 12
// pairs and `periods` periods, every value `value`.
dx::Store network(const std::vector<std::pair<float, float>>& positions, int periods = 2, float value = 1.0f);

// The data sets a run writes of `st`, in the order write_outputs lists them.
std::vector<dx::WrittenDataSet> written(const dx::Store& st);

// Replaces the station file `path` with one of stations at `positions`
// (lon, lat), region codes 1, 2, ...
void write_stations(const std::string& path, const std::vector<std::pair<float, float>>& positions);

}  // namespace dxtest
