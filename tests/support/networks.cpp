#include "support/networks.hpp"

#include <algorithm>
#include <string>

#include "output/catalogue.hpp"
#include "support/nc_fixture.hpp"

namespace dxtest {

dx::Store network(const std::vector<std::pair<float, float>>& positions, int periods, float value) {
  dx::Store st;
  const std::size_t n = positions.size();
  st.NSTN = static_cast<std::int32_t>(n);
  st.LON.allocate({n});
  st.LAT.allocate({n});
  for (std::size_t s = 0; s < n; ++s) st.LON(s) = positions[s].first, st.LAT(s) = positions[s].second;
  st.NCOL_DRM = st.NCLASS = 18;
  st.NCOL_IDX = 6;
  st.NPAIR = 12;
  st.NPERIOD = periods;
  for (const dx::Statistic& s : dx::kStatistics) {
    dx::Array2& a = st.*s.values;
    a.allocate({n, static_cast<std::size_t>(st.*s.ncol)});
    std::fill(a.data(), a.data() + n * a.extent(1), value);
  }
  for (const dx::PeriodStatistic& s : dx::kPeriodStatistics) {
    dx::Array3& a = st.*s.values;
    a.allocate({18, n, static_cast<std::size_t>(periods)});
    std::fill(a.data(), a.data() + 18 * n * a.extent(2), value);
  }
  return st;
}

std::vector<dx::WrittenDataSet> written(const dx::Store& st) {
  std::vector<dx::WrittenDataSet> w;
  const auto n = static_cast<std::size_t>(st.NSTN);
  for (const dx::Statistic& s : dx::kStatistics)
    w.push_back({std::string(s.base), std::string(s.var), n, static_cast<std::size_t>(st.*s.ncol), 0});
  for (std::int32_t p = 1; p <= st.NPERIOD; ++p)
    for (const dx::PeriodStatistic& s : dx::kPeriodStatistics)
      w.push_back({dx::period_base(s.prefix, p), std::string(s.var), n, 18, 0});
  return w;
}

void write_stations(const std::string& path, const std::vector<std::pair<float, float>>& positions) {
  NcLayout f;
  f.dim("stn", positions.size());
  std::vector<float> lon, lat, reg;
  for (const auto& [x, y] : positions)
    lon.push_back(x), lat.push_back(y), reg.push_back(static_cast<float>(reg.size() + 1));
  f.var("lon", NC_FLOAT, {"stn"}).fvalues = lon;
  f.var("lat", NC_FLOAT, {"stn"}).fvalues = lat;
  f.var("reg", NC_FLOAT, {"stn"}).fvalues = reg;
  write_nc(path, f);
}

}  // namespace dxtest
