#pragma once
// What the sample generator writes, read back through the netCDF C library:
// the file of each statistic, the names of its variables, and whole
// variables with their dimension names and lengths.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace dxtest::sample {

inline const char* const kPeriodIdx[6] = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};
inline const char* const kClassSuffix[3] = {"mod", "sev", "ext"};
inline const char* const kPairNames[12] = {
    "pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",
    "scpdsi_spi01", "scpdsi_spi03", "scpdsi_spi06", "scpdsi_spi12",
    "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

// Name of the per-period variable of class column k (0..17).
inline std::string period_var(const char* prefix, int k) {
  return std::string(prefix) + kPeriodIdx[k % 6] + "_" + kClassSuffix[k / 6];
}

struct Var {
  std::vector<std::string> dims;  // in declaration order: the station dimension is last
  std::vector<std::size_t> lens;
  std::vector<float> values;      // station index fastest
  bool ok = false;
};

// Reads a whole variable as floats; records a test failure when it cannot.
inline Var read_var(const std::string& path, const std::string& name) {
  Var v;
  int ncid = -1, varid = -1, ndims = 0;
  int st = nc_open(path.c_str(), NC_NOWRITE, &ncid);
  if (st != NC_NOERR) {
    ADD_FAILURE() << path << ": " << nc_strerror(st);
    return v;
  }
  st = nc_inq_varid(ncid, name.c_str(), &varid);
  if (st == NC_NOERR) st = nc_inq_varndims(ncid, varid, &ndims);
  std::vector<int> dimids(static_cast<std::size_t>(ndims));
  if (st == NC_NOERR && ndims > 0) st = nc_inq_vardimid(ncid, varid, dimids.data());
  std::size_t total = 1;
  for (int d = 0; st == NC_NOERR && d < ndims; ++d) {
    char dname[NC_MAX_NAME + 1] = {};
    std::size_t len = 0;
    st = nc_inq_dim(ncid, dimids[static_cast<std::size_t>(d)], dname, &len);
    v.dims.push_back(dname);
    v.lens.push_back(len);
    total *= len;
  }
  if (st == NC_NOERR) {
    v.values.resize(total);
    if (total > 0) st = nc_get_var_float(ncid, varid, v.values.data());
  }
  const int cst = nc_close(ncid);
  if (st != NC_NOERR || cst != NC_NOERR) {
    ADD_FAILURE() << path << ", variable " << name << ": " << nc_strerror(st != NC_NOERR ? st : cst);
    return v;
  }
  v.ok = true;
  return v;
}

// Runs the generator (DIR absolute, created if missing); fails the test if it does not succeed.
inline void generate(const std::string& dir, int stations, int seed, const std::string& format = "classic") {
  const RunResult r = run_command({DX_SAMPLE_BINARY, "--out", dir, "--stations", std::to_string(stations),
                                   "--seed", std::to_string(seed), "--format", format},
                                  "/");
  ASSERT_EQ(r.status, 0) << r.err;
}

}  // namespace dxtest::sample
