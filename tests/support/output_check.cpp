#include "support/output_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "input/result_files.hpp"
#include "support/fs.hpp"
#include "support/nc_fixture.hpp"

namespace dxtest {

namespace {

const char* const kTableNames[11] = {"Num_Dr_Mon",        "Fre_all",   "Mag_all",       "Sensl",
                                     "Prob_Sensl",        "Spell_Ave", "Spell_Max",     "Time_Interval_Ave",
                                     "Time_Interval_Max", "Corre_IDX", "Prob_Corre_IDX"};
const char* const kSetNames[11] = {"Num_Dr_Mon",   "Sensl",   "Prob",    "Spell_Ave", "Spell_Max", "Time_Arr_Ave",
                                   "Time_Arr_Max", "Fre_all", "Mag_all", "Corre",     "Prob1"};
std::string two_digits(int p) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", p);
  return b;
}

// Columns of a 1-D or 2-D input variable.
std::size_t ncol(const NcRead& v) { return v.lens.size() == 2 ? v.lens[0] : 1; }

std::string le32(std::uint32_t u) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return s;
}
std::string le_f(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return le32(u);
}

// The header line of a table of 18 (drought index and class), 6 (drought
// index) or 12 (index pair) columns: each name right-justified in 12
// characters, or its first 12 when longer.
std::string header(std::size_t ncol) {
  const char* const indices[] = {"pdsi", "scpdsi", "spei06", "spei12", "spi06", "spi12"};
  std::vector<std::string> names;
  if (ncol == 18) {
    for (const char* cls : {"mod", "sev", "ext"})
      for (const char* idx : indices) names.push_back(std::string(idx) + "_" + cls);
  } else if (ncol == 6) {
    names.assign(std::begin(indices), std::end(indices));
  } else {
    names = {"pdsi-spei06",  "pdsi-spei12",  "pdsi-spi06",   "pdsi-spi12",   "scpdsi-spei06", "scpdsi-spei12",
             "scpdsi-spi06", "scpdsi-spi12", "spei06-spi06", "spei12-spi12", "spei06-spi06",  "spei12-spi12"};
  }
  std::string line = "Reg    Lon     Lat  ";
  for (const std::string& n : names) line += n.size() >= 12 ? n.substr(0, 12) : std::string(12 - n.size(), ' ') + n;
  return line;
}

}  // namespace

std::string f_field(float x, int w, int d) {
  std::string s;
  if (std::isnan(x)) {
    s = "NaN";
  } else if (std::isinf(x)) {
    s = x > 0 ? (w >= 8 ? "Infinity" : "Inf") : (w >= 9 ? "-Infinity" : "-Inf");
  } else {
    // Exact, ties to even; then the layout: Fw.0 keeps its point, and a
    // field one column too narrow drops the leading zero.
    char buf[128];
    const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(x), std::chars_format::fixed, d);
    s.assign(buf, r.ptr);
    if (d == 0) s += '.';
    if (s.size() == static_cast<std::size_t>(w) + 1) {
      if (s.starts_with("0.")) s.erase(0, 1);
      else if (s.starts_with("-0.")) s.erase(1, 1);
    }
  }
  if (s.size() > static_cast<std::size_t>(w)) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

std::string reg_field(float x) {
  if (std::isnan(x)) return "****";
  const double t = std::trunc(static_cast<double>(x));
  if (t < -999 || t > 9999) return "****";
  char b[16];
  std::snprintf(b, sizeof b, "%4d", static_cast<int>(t));
  return b;
}

std::vector<std::string> output_names() {
  std::vector<std::string> names = output_order();
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> outputs_in(const std::string& dir) {
  std::vector<std::string> outs;
  for (const std::string& n : list_dir(dir))
    if (!n.ends_with(".nc")) outs.push_back(n);
  return outs;
}

void write_previous_outputs(const std::string& dir) {
  write_file(dir + "/Sensl.txt", "previous table\n");
  write_file(dir + "/Fre_01.dat", std::string("previous\0data", 13));
  write_file(dir + "/Corre.ctl", "previous descriptor\n");
}

std::vector<std::string> output_order() {
  std::vector<std::string> names;
  for (const char* t : kTableNames) names.push_back(std::string(t) + ".txt");
  std::vector<std::string> sets(std::begin(kSetNames), std::end(kSetNames));
  for (int p = 1; p <= 12; ++p) {
    sets.push_back("Fre_" + two_digits(p));
    sets.push_back("Mag_" + two_digits(p));
  }
  for (const std::string& s : sets) {
    names.push_back(s + ".dat");
    names.push_back(s + ".ctl");
  }
  return names;
}

bool check_outputs(const std::string& dir, const std::string& station, std::uint64_t pick) {
  const auto parts = [] {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    return t ? t->result()->total_part_count() : 0;
  };
  const int parts_before = parts();
  const auto path = [&](const std::string& f) { return dir + "/" + f; };

  // The files: the inputs and exactly the outputs.
  EXPECT_EQ(outputs_in(dir), output_names());

  // Every input of the run, keyed by file and variable.
  std::map<std::string, NcRead> inputs;
  for (const dx::InputVar& r : dx::input_reads()) {
    const std::string_view file = dx::kInputFileNames[static_cast<std::size_t>(r.file)];
    NcRead v = read_var(r.file == dx::kStationInput ? station : path(std::string(file)), r.var);
    if (v.ok && (v.lens.empty() || v.lens.size() > 2)) ADD_FAILURE() << file << ": " << r.var << " is not 1-D or 2-D";
    inputs[std::string(file) + ":" + r.var] = std::move(v);
  }
  if (parts() != parts_before) return false;
  const auto in = [&](std::string_view file, const std::string& var) -> const NcRead& {
    return inputs.at(std::string(file) + ":" + var);
  };
  const NcRead &drm = in(dx::kDrouMonFile, "N_Drou_mon"), &sensl = in(dx::kSenProbFile, "SenSL"),
               &prob = in(dx::kSenProbFile, "Prob");
  const NcRead &lon = in(dx::kStationFileName, "lon"), &lat = in(dx::kStationFileName, "lat"),
               &reg = in(dx::kStationFileName, "reg");
  std::map<std::string, const NcRead*> cls;
  for (const char* v : {"Spell_Ave", "Spell_Max", "Time_Arr_Ave", "Time_Arr_Max"}) cls[v] = &in(dx::kSpellFile, v);
  for (const char* v : {"Freq", "Mag"}) cls[v] = &in(dx::kAllPeriodFile, v);
  std::vector<const NcRead*> tq, ptq, fre, mag;
  for (std::string_view p : dx::kPairName) {
    tq.push_back(&in(dx::kTqFile, std::string(p)));
    ptq.push_back(&in(dx::kProbTqFile, std::string(p)));
  }
  for (std::size_t k = 0; k < dx::kClasses; ++k) {
    fre.push_back(&in(dx::kPeriodFile, dx::period_var("Fre_", k)));
    mag.push_back(&in(dx::kPeriodFile, dx::period_var("Mag_", k)));
  }
  const std::size_t S = drm.lens.back();

  using Value = std::function<float(std::size_t s, std::size_t k)>;
  struct Source {
    std::size_t ncol;
    Value value;
  };
  const auto of = [](const NcRead* v) { return [v](std::size_t s, std::size_t k) { return v->at(s, k); }; };
  const auto pairs = [](const std::vector<const NcRead*>& v) {
    return [&v](std::size_t s, std::size_t k) { return v[k]->at(s); };
  };

  // GrADS data sets: every report of every time group.
  std::vector<std::pair<std::string, Source>> sets = {{"Num_Dr_Mon", {ncol(drm), of(&drm)}},
                                                      {"Sensl", {ncol(prob), of(&sensl)}},
                                                      {"Prob", {ncol(prob), of(&prob)}},
                                                      {"Spell_Ave", {18, of(cls["Spell_Ave"])}},
                                                      {"Spell_Max", {18, of(cls["Spell_Max"])}},
                                                      {"Time_Arr_Ave", {18, of(cls["Time_Arr_Ave"])}},
                                                      {"Time_Arr_Max", {18, of(cls["Time_Arr_Max"])}},
                                                      {"Fre_all", {18, of(cls["Freq"])}},
                                                      {"Mag_all", {18, of(cls["Mag"])}},
                                                      {"Corre", {12, pairs(tq)}},
                                                      {"Prob1", {12, pairs(ptq)}}};
  for (std::size_t p = 0; p < 12; ++p) {
    sets.push_back({"Fre_" + two_digits(static_cast<int>(p + 1)),
                    {18, [&fre, p](std::size_t s, std::size_t k) { return fre[k]->at(s, p); }}});
    sets.push_back({"Mag_" + two_digits(static_cast<int>(p + 1)),
                    {18, [&mag, p](std::size_t s, std::size_t k) { return mag[k]->at(s, p); }}});
  }
  const std::string id = S > 0 ? std::string("Station_") : std::string(8, '\0');
  std::string group;  // one time group without values
  for (std::size_t s = 0; s < S; ++s)
    group += id + le_f(lat.at(s, 0)) + le_f(lon.at(s, 0)) + le_f(0.0f) + le32(1) + le32(1) + le32(0);
  group += id + le_f(S ? lat.at(S - 1, 0) : 0.0f) + le_f(S ? lon.at(S - 1, 0) : 0.0f) + le_f(0.0f) + le32(0) + le32(1);
  for (const auto& [base, src] : sets) {
    SCOPED_TRACE(base + ".dat");
    const std::string dat = read_file(path(base + ".dat"));
    if (dat.size() != src.ncol * (32 * S + 28)) {
      ADD_FAILURE() << "size " << dat.size() << ", expected T x (32 S + 28) with T = " << src.ncol << ", S = " << S;
      continue;
    }
    for (std::size_t k = 0; k < src.ncol; ++k) {
      std::string expected = group;
      for (std::size_t s = 0; s < S; ++s) expected.replace(32 * s + 28, 4, le_f(src.value(s, k)));
      if (dat.compare(k * expected.size(), expected.size(), expected) != 0) {
        ADD_FAILURE() << "time group " << k + 1 << " differs from the input";
        break;
      }
    }
    const std::string ctl = read_file(path(base + ".ctl"));
    EXPECT_TRUE(ctl.starts_with("dset  ^" + base + ".dat\n")) << ctl;
    char tdef[64];
    if (src.ncol < 1000) std::snprintf(tdef, sizeof tdef, "\ntdef  %3zu linear jan1980 1mo\n", src.ncol);
    else std::snprintf(tdef, sizeof tdef, "\ntdef  *** linear jan1980 1mo\n");
    EXPECT_NE(ctl.find(tdef), std::string::npos) << ctl;
    EXPECT_EQ(std::count(ctl.begin(), ctl.end(), '\n'), 9);
  }

  // Text tables: sizes, line lengths, and the lines of a few stations.
  const std::vector<std::pair<std::string, Source>> tables = {{"Num_Dr_Mon", {18, of(&drm)}},
                                                              {"Fre_all", {18, of(cls["Freq"])}},
                                                              {"Mag_all", {18, of(cls["Mag"])}},
                                                              {"Sensl", {6, of(&sensl)}},
                                                              {"Prob_Sensl", {6, of(&prob)}},
                                                              {"Spell_Ave", {18, of(cls["Spell_Ave"])}},
                                                              {"Spell_Max", {18, of(cls["Spell_Max"])}},
                                                              {"Time_Interval_Ave", {18, of(cls["Time_Arr_Ave"])}},
                                                              {"Time_Interval_Max", {18, of(cls["Time_Arr_Max"])}},
                                                              {"Corre_IDX", {12, pairs(tq)}},
                                                              {"Prob_Corre_IDX", {12, pairs(ptq)}}};
  std::set<std::size_t> stations;
  if (S > 0) stations = {0, S - 1, static_cast<std::size_t>(pick % S)};
  for (const auto& [base, src] : tables) {
    SCOPED_TRACE(base + ".txt");
    const std::string txt = read_file(path(base + ".txt"));
    const std::size_t width = 20 + 12 * src.ncol;
    if (txt.size() != 101 + (width + 1) * (S + 1)) {
      ADD_FAILURE() << "size " << txt.size() << ", expected " << 101 + (width + 1) * (S + 1);
      continue;
    }
    EXPECT_EQ(txt[100], '\n');
    EXPECT_EQ(txt.substr(101, width), header(src.ncol));
    for (std::size_t line = 0; line <= S; ++line)
      if (txt[101 + (width + 1) * line + width] != '\n') {
        ADD_FAILURE() << "line " << line + 2 << " is not " << width << " characters long";
        break;
      }
    for (std::size_t s : stations) {
      std::string expected = reg_field(reg.at(s, 0)) + f_field(lon.at(s, 0), 8) + f_field(lat.at(s, 0), 8);
      for (std::size_t k = 0; k < src.ncol; ++k) expected += f_field(src.value(s, k), 12);
      EXPECT_EQ(txt.substr(101 + (width + 1) * (s + 1), width), expected) << "station " << s + 1;
    }
  }
  return parts() == parts_before;
}

}  // namespace dxtest
