// Completeness check of classic-format netCDF files: intact files of every
// format pass, every prefix of a classic-format file is refused with the
// message that fits where it was cut, and damaged headers never crash.
#include "input/nc3_check.hpp"

#include <gtest/gtest.h>
#include <netcdf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "base/error.hpp"
#include "support/fs.hpp"

namespace {

using dxtest::TempDir;

#define NC_OK(call) ASSERT_EQ((call), NC_NOERR) << nc_strerror(call)

const std::string kMarker = "@@first-data@@!!";  // content of the first variable
const char* const kHint = " (a damaged or incompletely copied netCDF file)";

struct Format {
  const char* name;
  int mode;
  bool classic;  // classic-format header (checked); netCDF-4 is left to HDF5
};

const Format kFormats[] = {
    {"classic", NC_CLOBBER, true},
    {"64bit_offset", NC_CLOBBER | NC_64BIT_OFFSET, true},
    {"64bit_data", NC_CLOBBER | NC_64BIT_DATA, true},
    {"netcdf4", NC_CLOBBER | NC_NETCDF4, false},
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

enum class Layout { Fixed, Records, OneRecord, OneRecordVar, ZeroRecords, LargeHeader, EmptyFixedDim };

struct Case {
  const char* name;
  Layout layout;
};

const Case kCases[] = {
    {"fixed", Layout::Fixed},
    {"records", Layout::Records},
    {"one_record", Layout::OneRecord},  // the record data is the file's end all the same
    {"one_record_var", Layout::OneRecordVar},
    {"zero_records", Layout::ZeroRecords},
    {"large_header", Layout::LargeHeader},
    {"empty_fixed_dim", Layout::EmptyFixedDim},
};

std::vector<float> ramp(std::size_t n, float start) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + static_cast<float>(i);
  return v;
}

// Global attributes of every type the format can hold, with lengths that
// need padding.
void put_attributes(int nc, int varid, bool extended_types) {
  const short shorts[3] = {-1, 2, 3};
  const signed char bytes[5] = {1, 2, 3, 4, 5};
  const double dbl = 3.25;
  NC_OK(nc_put_att_text(nc, varid, "title", 7, "results"));
  NC_OK(nc_put_att_short(nc, varid, "shorts", NC_SHORT, 3, shorts));
  NC_OK(nc_put_att_schar(nc, varid, "bytes", NC_BYTE, 5, bytes));
  NC_OK(nc_put_att_double(nc, varid, "scale", NC_DOUBLE, 1, &dbl));
  if (extended_types) {
    const long long big[2] = {1LL << 40, -7};
    const unsigned short us[1] = {65535};
    NC_OK(nc_put_att_longlong(nc, varid, "big", NC_INT64, 2, big));
    NC_OK(nc_put_att_ushort(nc, varid, "us", NC_USHORT, 1, us));
  }
}

// Writes a sample file.  Its first variable holds kMarker, so the first
// data byte can be found in the file; the header is written without extra
// free space, so the data starts at the header's end rounded up to 4.
void write_sample(const std::string& path, const Format& f, Layout layout) {
  int nc;
  NC_OK(nc_create(path.c_str(), f.mode, &nc));
  const bool ext = (f.mode & (NC_64BIT_DATA | NC_NETCDF4)) != 0;
  int mdim, marker;
  NC_OK(nc_def_dim(nc, "mlen", kMarker.size(), &mdim));
  NC_OK(nc_def_var(nc, "marker", NC_CHAR, 1, &mdim, &marker));
  put_attributes(nc, NC_GLOBAL, ext);

  int time = -1, stn, idx, n3, v1 = -1, v2 = -1;
  std::vector<int> many;
  NC_OK(nc_def_dim(nc, "stn", 7, &stn));
  switch (layout) {
    case Layout::Fixed: {
      NC_OK(nc_def_dim(nc, "idx", 5, &idx));
      const int dims[2] = {idx, stn};
      NC_OK(nc_def_var(nc, "stn", NC_FLOAT, 1, &stn, &v1));
      NC_OK(nc_def_var(nc, "SenSL", NC_FLOAT, 2, dims, &v2));
      put_attributes(nc, v2, ext);
      break;
    }
    case Layout::Records:
    case Layout::OneRecord: {
      NC_OK(nc_def_dim(nc, "time", NC_UNLIMITED, &time));
      NC_OK(nc_def_dim(nc, "n3", 3, &n3));
      const int dims[2] = {time, n3};
      NC_OK(nc_def_var(nc, "a", NC_SHORT, 2, dims, &v1));  // 6 bytes per record, padded to 8
      NC_OK(nc_def_var(nc, "t", NC_FLOAT, 1, &time, &v2));
      break;
    }
    case Layout::OneRecordVar: {
      NC_OK(nc_def_dim(nc, "time", NC_UNLIMITED, &time));
      NC_OK(nc_def_dim(nc, "n3", 3, &n3));
      const int dims[2] = {time, n3};
      NC_OK(nc_def_var(nc, "s", NC_SHORT, 2, dims, &v1));  // records packed at 6 bytes
      break;
    }
    case Layout::ZeroRecords: {
      NC_OK(nc_def_dim(nc, "time", NC_UNLIMITED, &time));
      const int dims[2] = {time, stn};
      NC_OK(nc_def_var(nc, "a", NC_FLOAT, 2, dims, &v1));
      break;
    }
    case Layout::LargeHeader: {
      const std::string text(40000, 'x');
      NC_OK(nc_put_att_text(nc, NC_GLOBAL, "history", text.size(), text.c_str()));
      for (int i = 0; i < 300; ++i) {
        int v;
        const std::string name = "statistic_number_" + std::to_string(i);
        NC_OK(nc_def_var(nc, name.c_str(), NC_FLOAT, 1, &stn, &v));
        NC_OK(nc_put_att_text(nc, v, "long_name", name.size(), name.c_str()));
        many.push_back(v);
      }
      break;
    }
    case Layout::EmptyFixedDim: {
      if (f.classic) break;  // a fixed dimension of length 0 exists in netCDF-4 only
      int empty;
      NC_OK(nc_def_dim(nc, "empty", 0, &empty));
      const int dims[2] = {stn, empty};
      NC_OK(nc_def_var(nc, "nothing", NC_FLOAT, 2, dims, &v1));
      break;
    }
  }
  NC_OK(nc__enddef(nc, 0, 4, 0, 4));
  NC_OK(nc_put_var_text(nc, marker, kMarker.c_str()));
  switch (layout) {
    case Layout::Fixed:
      NC_OK(nc_put_var_float(nc, v1, ramp(7, 1).data()));
      NC_OK(nc_put_var_float(nc, v2, ramp(35, 100).data()));
      break;
    case Layout::Records:
    case Layout::OneRecord:
      for (std::size_t r = 0; r < (layout == Layout::Records ? 4u : 1u); ++r) {
        const short a[3] = {short(r), short(r + 1), short(r + 2)};
        const float t = 10.0f + static_cast<float>(r);
        const std::size_t start[2] = {r, 0}, count[2] = {1, 3};
        NC_OK(nc_put_vara_short(nc, v1, start, count, a));
        NC_OK(nc_put_vara_float(nc, v2, start, count, &t));
      }
      break;
    case Layout::OneRecordVar: {
      std::vector<short> s(15);
      for (std::size_t i = 0; i < s.size(); ++i) s[i] = short(i + 1);
      const std::size_t start[2] = {0, 0}, count[2] = {5, 3};
      NC_OK(nc_put_vara_short(nc, v1, start, count, s.data()));
      break;
    }
    case Layout::LargeHeader:
      for (std::size_t i = 0; i < many.size(); ++i)
        NC_OK(nc_put_var_float(nc, many[i], ramp(7, static_cast<float>(i)).data()));
      break;
    case Layout::ZeroRecords:
    case Layout::EmptyFixedDim: break;
  }
  NC_OK(nc_close(nc));
}

std::string check_message(const std::string& path) {
  try {
    dx::check_nc3_complete(path);
  } catch (const dx::Error& e) {
    return e.what();
  }
  return "";
}

std::string truncated_message(const std::string& path, std::size_t required, std::size_t size) {
  return path + ": file is truncated: its header describes " + std::to_string(required) +
         " bytes of data but the file has " + std::to_string(size) + " bytes" + kHint;
}

bool is_header_message(const std::string& got, const std::string& path) {
  const std::string head = path + ": damaged netCDF header: ";
  return got.starts_with(head) && got.ends_with(kHint) && got.size() > head.size() + std::strlen(kHint);
}

void shorten(const std::string& path, std::size_t size) {
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Nc3CheckTest : public ::testing::TestWithParam<std::tuple<Format, Case>> {};

// Every intact file passes.  For the classic formats, every prefix of the
// file is refused: inside the header with the header message, from the
// header's end on with the sizes; a netCDF-4 file is left to HDF5.
TEST_P(Nc3CheckTest, IntactPassesEveryPrefixIsRefused) {
  const auto& [format, c] = GetParam();
  TempDir dir;
  const std::string path = dir / "sample.nc";
  write_sample(path, format, c.layout);
  EXPECT_EQ(check_message(path), "");
  if (!format.classic) return;

  const std::string content = dxtest::read_file(path);
  const std::size_t size = content.size();
  const std::size_t data = content.find(kMarker);  // first data byte
  ASSERT_NE(data, std::string::npos);

  // Cut points: every byte of small files; for the large header a sample
  // plus the points around the header's end and the data's end.
  std::vector<std::size_t> cuts;
  const std::size_t step = size > 4096 ? 97 : 1;
  for (std::size_t n = 0; n < size; n += step) cuts.push_back(n);
  for (std::size_t n : {data - 4, data - 3, data - 2, data - 1, data, size / 2, size - 1}) cuts.push_back(n);

  // Cuts inside the header give a damaged-header message, all others the
  // sizes; the two ranges meet where the header ends.
  // (Shortening one copy step by step: rewriting a file on ext4 would
  // flush it to disk every time.)
  std::sort(cuts.rbegin(), cuts.rend());
  const std::string cut = dir / "cut.nc";
  dxtest::write_file(cut, content);
  std::size_t last_in_header = 0, header_end = size;
  for (const std::size_t n : cuts) {
    shorten(cut, n);
    const std::string got = check_message(cut);
    if (n < 4) {
      EXPECT_EQ(got, "") << "no magic number: left to the netCDF library";
    } else if (got == truncated_message(cut, size, n)) {
      header_end = std::min(header_end, n);
    } else {
      EXPECT_TRUE(is_header_message(got, cut)) << got << "\ncut at " << n << " of " << size;
      last_in_header = std::max(last_in_header, n);
    }
  }
  EXPECT_LT(last_in_header, header_end);
  // The library starts the data at the header's end rounded up to 4.
  EXPECT_LE(header_end, data);
  EXPECT_GT(header_end + 4, data);

  // The same in place with truncate(2), the file path named in the message.
  for (const std::size_t n : {size - 1, (data + size) / 2, data, data / 2}) {
    shorten(path, n);
    const std::string got = check_message(path);
    if (n < header_end) EXPECT_TRUE(is_header_message(got, path)) << got;
    else EXPECT_EQ(got, truncated_message(path, size, n));
  }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Nc3CheckTest,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::ValuesIn(kCases)),
                         [](const ::testing::TestParamInfo<Nc3CheckTest::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

// Why the check exists: the library reads a file cut in the middle of its
// data without any error and hands back zeros for the missing values.
TEST(Nc3Check, LibraryReadsTruncatedFileAsZeros) {
  TempDir dir;
  const std::string path = dir / "cut.nc";
  write_sample(path, kFormats[0], Layout::Fixed);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const auto size = static_cast<std::size_t>(st.st_size);
  shorten(path, size - 40);  // the last 10 values of SenSL

  int nc, var;
  NC_OK(nc_open(path.c_str(), NC_NOWRITE, &nc));
  NC_OK(nc_inq_varid(nc, "SenSL", &var));
  std::vector<float> values(35, -1.0f);
  NC_OK(nc_get_var_float(nc, var, values.data()));
  NC_OK(nc_close(nc));
  EXPECT_EQ(values[24], 124.0f);
  EXPECT_EQ(values[25], 0.0f);
  EXPECT_EQ(values[34], 0.0f);

  EXPECT_EQ(check_message(path), truncated_message(path, size, size - 40));
}

// A 64-bit offset file whose last variable exceeds 4 GiB: the stored vsize
// cannot express that size, the check computes it from the dimensions.
// The file is sparse, so it costs no disk space.
TEST(Nc3Check, VariableLargerThan4GiB) {
  TempDir dir;
  const std::string path = dir / "big.nc";
  const std::size_t n = (std::size_t{5} << 30) / 4;  // 5 GiB of floats
  int nc, dim, small, big;
  NC_OK(nc_create(path.c_str(), NC_CLOBBER | NC_64BIT_OFFSET, &nc));
  int old_fill;
  NC_OK(nc_set_fill(nc, NC_NOFILL, &old_fill));
  NC_OK(nc_def_dim(nc, "n", n, &dim));
  NC_OK(nc_def_var(nc, "small", NC_FLOAT, 0, nullptr, &small));
  NC_OK(nc_def_var(nc, "big", NC_FLOAT, 1, &dim, &big));
  NC_OK(nc_enddef(nc));
  const std::size_t last = n - 1;
  const float one = 1.0f;
  NC_OK(nc_put_var1_float(nc, big, &last, &one));
  NC_OK(nc_close(nc));

  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const auto size = static_cast<std::size_t>(st.st_size);
  ASSERT_GT(size, n * 4);
  EXPECT_EQ(check_message(path), "");
  shorten(path, size - 1);
  EXPECT_EQ(check_message(path), truncated_message(path, size, size - 1));
}

// A streaming file (record count all ones) has as many records as its size
// allows: missing records are not detectable and are accepted.
TEST(Nc3Check, StreamingRecordCountIsAccepted) {
  TempDir dir;
  const std::string path = dir / "stream.nc";
  write_sample(path, kFormats[0], Layout::Records);
  std::string content = dxtest::read_file(path);
  content.replace(4, 4, "\xFF\xFF\xFF\xFF");  // numrecs
  dxtest::write_file(path, content.substr(0, content.size() - 12));
  EXPECT_EQ(check_message(path), "");
}

// Hand-made classic headers, each malformed in one way.
std::string be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string be64(std::uint64_t v) { return be32(std::uint32_t(v >> 32)) + be32(std::uint32_t(v)); }
std::string pad(const std::string& s) { return s + std::string((4 - s.size() % 4) % 4, '\0'); }
std::string nm(const std::string& s) { return be32(static_cast<std::uint32_t>(s.size())) + pad(s); }
std::string nm64(const std::string& s) { return be64(s.size()) + pad(s); }
const std::string kAbsent = be32(0) + be32(0);
// One dimension "n" of length 2.
const std::string kDims = be32(0x0A) + be32(1) + nm("n") + be32(2);

TEST(Nc3Check, MalformedHeadersAreRefused) {
  struct Row {
    const char* what;
    std::string bytes;
    std::string message;  // after "<path>: damaged netCDF header: "
  };
  const std::string var_head = be32(0x0B) + be32(1) + nm("v");
  const Row rows[] = {
      {"absurd name length", "CDF\x01" + be32(0) + be32(0x0A) + be32(1) + be32(0x7FFFFFF0) + be32(2),
       "the name of a dimension is 2147483632 bytes long (at most 256 are possible)"},
      {"dimension count beyond the file", "CDF\x01" + be32(0) + be32(0x0A) + be32(1000000) + nm("n"),
       "it lists 1000000 dimensions, more than the remaining 8 bytes of the file can hold"},
      {"wrong list tag", "CDF\x01" + be32(0) + be32(0x0B) + be32(1) + nm("n") + be32(2),
       "the dimension list has the tag 11 instead of 10"},
      {"undefined dimension id",
       "CDF\x01" + be32(0) + kDims + kAbsent + var_head + be32(1) + be32(5) + kAbsent + be32(5) + be32(8) + be32(200),
       "variable 'v' uses dimension id 5 of 1"},
      {"unknown variable type",
       "CDF\x01" + be32(0) + kDims + kAbsent + var_head + be32(1) + be32(0) + kAbsent + be32(10) + be32(8) + be32(200),
       "variable 'v' has the unknown type 10"},
      {"unknown attribute type", "CDF\x01" + be32(0) + kAbsent + be32(0x0C) + be32(1) + nm("a") + be32(99) + be32(1),
       "attribute 'a' has the unknown type 99"},
      {"attribute values beyond the file",
       "CDF\x02" + be32(0) + kAbsent + be32(0x0C) + be32(1) + nm("a") + be32(6) + be32(0x10000000),
       "the file has 40 bytes and ends inside its header"},
      {"variable rank beyond the file",
       "CDF\x01" + be32(0) + kDims + kAbsent + var_head + be32(0x40000000) + std::string(40, '\0'),
       "variable 'v' lists 1073741824 dimensions, more than the remaining 40 bytes of the file can "
       "hold"},
      {"end beyond any file size",  // 64-bit data format: 64-bit counts
       "CDF\x05" + be64(0) + be32(0x0A) + be64(1) + nm64("n") + be64(UINT64_MAX) + be32(0) + be64(0) + be32(0x0B) +
           be64(1) + nm64("v") + be64(1) + be64(0) + be32(0) + be64(0) + be32(6) + be64(8) + be64(200),
       "variable 'v' would end beyond any possible file size"},
  };
  TempDir dir;
  const std::string path = dir / "bad.nc";
  for (const Row& row : rows) {
    dxtest::write_file(path, row.bytes);
    EXPECT_EQ(check_message(path), path + ": damaged netCDF header: " + row.message + kHint) << row.what;
  }
}

TEST(Nc3Check, OtherFilesAreLeftToTheLibrary) {
  TempDir dir;
  const std::string text = dir / "notes.txt";
  dxtest::write_file(text, "CDF\x03 this is not a netCDF file");
  EXPECT_EQ(check_message(text), "");
  EXPECT_EQ(check_message(dir / "missing.nc"), "cannot open " + (dir / "missing.nc") + ": No such file or directory");
}

// Random damage to valid headers and random bytes after a valid magic
// number: every outcome is a pass or an Error, never a crash or a read
// outside the file (run under the sanitizer build).
TEST(Nc3Check, RandomDamageNeverCrashes) {
  TempDir dir;
  std::vector<std::string> bases;
  for (int f = 0; f < 3; ++f)
    for (Layout layout : {Layout::Fixed, Layout::Records}) {
      const std::string path = dir / "base.nc";
      write_sample(path, kFormats[f], layout);
      bases.push_back(dxtest::read_file(path));
    }
  std::mt19937 rng(20240611);
  int passed = 0, refused = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string path = dir / ("fuzz" + std::to_string(i) + ".nc");  // new file: no flush
    std::string bytes;
    if (i % 10 == 9) {  // random bytes after the magic number
      bytes = std::string("CDF") + char(std::vector<int>{1, 2, 5}[rng() % 3]);
      const std::size_t n = rng() % 300;
      for (std::size_t k = 0; k < n; ++k) bytes += char(rng());
    } else {
      bytes = bases[rng() % bases.size()];
      const std::size_t header = bytes.find(kMarker);
      const int hits = 1 + static_cast<int>(rng() % 8);
      for (int k = 0; k < hits; ++k) {
        const std::size_t at = 4 + rng() % (header - 4);
        bytes[at] = rng() % 4 == 0 ? char(0xFF) : char(rng());
      }
      if (rng() % 8 == 0) bytes.resize(rng() % bytes.size());
    }
    dxtest::write_file(path, bytes);
    try {
      dx::check_nc3_complete(path);
      ++passed;
    } catch (const dx::Error&) {
      ++refused;
    }
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
  EXPECT_GT(passed, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
