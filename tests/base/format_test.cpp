#include "base/format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "support/numeric_mode.hpp"
#include "support/output_check.hpp"

namespace dx {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string render(const std::string& format, const std::vector<Value>& values) {
  std::string out;
  Format::parse(format).apply(values, out);
  return out;
}

// ---------------------------------------------------------------------------
// Field rules, one case per line: the format, the values, the exact text.

struct FieldCase {
  const char* format;
  std::vector<Value> values;
  std::string expected;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.format << " gives [" << c.expected << "]"; }

class FieldRules : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldRules, WriteExactText) {
  const FieldCase& c = GetParam();
  EXPECT_EQ(render(c.format, c.values), c.expected) << c.format;
}

Value I(std::int32_t n) { return Value::integer(n); }
Value F(float x) { return Value::real(x); }
Value T(std::string_view s) { return Value::text(s); }

INSTANTIATE_TEST_SUITE_P(
    Examples, FieldRules,
    ::testing::Values(
        // Integers.
        FieldCase{"(I3)", {I(6)}, "  6"}, FieldCase{"(I3)", {I(18)}, " 18"}, FieldCase{"(I2.2)", {I(1)}, "01"},
        FieldCase{"(I2.2)", {I(12)}, "12"}, FieldCase{"(I3.3)", {I(7)}, "007"}, FieldCase{"(I3.3)", {I(0)}, "000"},
        FieldCase{"(I3)", {I(1000)}, "***"}, FieldCase{"(I2.2)", {I(100)}, "**"}, FieldCase{"(I4)", {I(-12)}, " -12"},
        FieldCase{"(I4)", {I(-123)}, "-123"}, FieldCase{"(I3)", {I(-12)}, "-12"}, FieldCase{"(I3)", {I(-123)}, "***"},
        FieldCase{"(I3)", {I(0)}, "  0"}, FieldCase{"(I5.3)", {I(-7)}, " -007"}, FieldCase{"(I4.3)", {I(-7)}, "-007"},
        FieldCase{"(I3.3)", {I(-7)}, "***"}, FieldCase{"(I2.3)", {I(0)}, "**"},
        FieldCase{"(I12)", {I(180)}, "         180"}, FieldCase{"(I11)", {I(INT32_MIN)}, "-2147483648"},
        FieldCase{"(I10)", {I(INT32_MIN)}, "**********"}, FieldCase{"(I10)", {I(INT32_MAX)}, "2147483647"},
        FieldCase{"(I25.20)", {I(-5)}, "    -00000000000000000005"}, FieldCase{"(I4)", {Value::bad_int()}, "****"},
        // Reals.
        FieldCase{"(F8.3)", {F(105.25f)}, " 105.250"}, FieldCase{"(F8.3)", {F(0.5f)}, "   0.500"},
        FieldCase{"(F8.3)", {F(-8.1234f)}, "  -8.123"}, FieldCase{"(F12.3)", {F(12.3456f)}, "      12.346"},
        FieldCase{"(F12.3)", {F(1.0e9f)}, "************"}, FieldCase{"(F8.1)", {F(-99.0f)}, "   -99.0"},
        FieldCase{"(F8.1)", {F(-9999.0f)}, " -9999.0"}, FieldCase{"(F8.3)", {F(1000.0f)}, "1000.000"},
        FieldCase{"(F8.3)", {F(-1000.0f)}, "********"}, FieldCase{"(F8.3)", {F(-999.999f)}, "-999.999"},
        FieldCase{"(F8.3)", {F(2.0005f)}, "   2.000"},  // really 2.000499963...
        FieldCase{"(F8.3)", {F(0.0625f)}, "   0.062"},  // exact tie: to even
        FieldCase{"(F8.3)", {F(0.1875f)}, "   0.188"},  // exact tie: to even
        FieldCase{"(F8.1)", {F(0.25f)}, "     0.2"}, FieldCase{"(F8.1)", {F(-0.75f)}, "    -0.8"},
        FieldCase{"(F8.3)", {F(-0.0001f)}, "  -0.000"}, FieldCase{"(F8.3)", {F(-0.0f)}, "  -0.000"},
        FieldCase{"(F8.3)", {F(0.0f)}, "   0.000"}, FieldCase{"(F8.3)", {F(0.0005f)}, "   0.001"},
        FieldCase{"(F4.3)", {F(0.5f)}, ".500"}, FieldCase{"(F5.3)", {F(-0.5f)}, "-.500"},
        FieldCase{"(F4.3)", {F(1.5f)}, "****"}, FieldCase{"(F5.0)", {F(2.5f)}, "   2."},
        FieldCase{"(F5.0)", {F(3.5f)}, "   4."}, FieldCase{"(F25.0)", {F(1e20f)}, "   100000002004087734272."},
        FieldCase{"(F30.15)", {F(0.1f)}, "             0.100000001490116"}, FieldCase{"(F8.3)", {F(kNaN)}, "     NaN"},
        FieldCase{"(F8.3)", {F(-kNaN)}, "     NaN"}, FieldCase{"(F8.3)", {F(kInf)}, "Infinity"},
        FieldCase{"(F12.3)", {F(kInf)}, "    Infinity"}, FieldCase{"(F8.3)", {F(-kInf)}, "    -Inf"},
        FieldCase{"(F9.3)", {F(-kInf)}, "-Infinity"}, FieldCase{"(F7.3)", {F(kInf)}, "    Inf"},
        FieldCase{"(F3.1)", {F(-kInf)}, "***"}, FieldCase{"(F2.1)", {F(kNaN)}, "**"},
        FieldCase{"(F12.3)", {F(std::numeric_limits<float>::max())}, "************"},
        FieldCase{
            "(F50.1)", {F(-std::numeric_limits<float>::max())}, "        -340282346638528859811704183484516925440.0"},
        // Texts.
        FieldCase{"(A)", {T("pdsi           ")}, "pdsi           "}, FieldCase{"(A6)", {T("Lon")}, "   Lon"},
        FieldCase{"(A12)", {T("scpdsi-spei06  ")}, "scpdsi-spei0"}, FieldCase{"(A6)", {T("abcdef")}, "abcdef"},
        FieldCase{"(A)", {T("   ")}, "   "}, FieldCase{"(A3)", {T("")}, "   "},
        // Skips, groups, repeat counts and the end of the line.
        FieldCase{"(A,TR3,A)", {T("a"), T("b")}, "a   b"}, FieldCase{"(I1,2X,I1)", {I(1), I(2)}, "1  2"},
        FieldCase{"(2(A6,TR2))", {T("Lon"), T("Lat")}, "   Lon     Lat  "},
        FieldCase{"(A,2(I1,1X),A)", {T("<"), I(1), I(2), T(">")}, "<1 2 >"},
        FieldCase{"(2(A1,2(I1)))", {T("a"), I(1), I(2), T("b"), I(3), I(4)}, "a12b34"},
        FieldCase{"(A3,TR1,2(A6,TR2),100A12)",
                  {T("Reg"), T("Lon"), T("Lat"), T("pdsi"), T("scpdsi")},
                  "Reg    Lon     Lat          pdsi      scpdsi"},
        FieldCase{"(A3,TR1,2(A6,TR2),100A12)", {T("Reg"), T("Lon"), T("Lat")}, "Reg    Lon     Lat  "},
        FieldCase{"(I4,2F8.3,  2F12.3)",
                  {I(3), F(105.5f), F(21.25f), F(12.0f), F(-1.25f)},
                  "   3 105.500  21.250      12.000      -1.250"},
        FieldCase{"(a,i3,1x,a)", {T("tdef  "), I(6), T("linear jan1980 1mo")}, "tdef    6 linear jan1980 1mo"},
        FieldCase{"( A , F8.1 )", {T("undef   "), F(-9999.0f)}, "undef    -9999.0"},
        FieldCase{"(I3,F8.3)", {I(1)}, "  1"}, FieldCase{"(I1,2X)", {I(1)}, "1  "},
        FieldCase{"(I1,I1,3X,I1)", {I(1)}, "1"}, FieldCase{"(A,I2.2)", {}, ""}));

TEST(FieldRules, RulesBeyondTheLastValueAreNotUsed) {
  std::vector<std::string> names;
  for (int j = 1; j <= 20; ++j) names.push_back("name_" + std::to_string(j));
  std::vector<Value> values;
  for (const auto& n : names) values.push_back(Value::text(n));
  const std::string line = render("(100A12)", values);
  ASSERT_EQ(line.size(), 20u * 12u);
  EXPECT_EQ(line.substr(0, 12), "      name_1");
  EXPECT_EQ(line.substr(19 * 12), "     name_20");
}

TEST(FieldRules, ValueUnfitForItsRuleOrSurplusValuesAreRefused) {
  const std::vector<std::pair<const char*, std::vector<Value>>> bad = {
      {"(I4)", {F(1.0f)}},    {"(F8.3)", {I(1)}}, {"(A)", {I(1)}}, {"(I4)", {T("1")}}, {"(F8.3)", {Value::bad_int()}},
      {"(I4)", {I(1), I(2)}}, {"(2X)", {I(1)}}};
  for (const auto& [format, values] : bad) {
    std::string out = "kept";
    EXPECT_THROW(Format::parse(format).apply(values, out), Error) << format;
    EXPECT_EQ(out, "kept") << format;
  }
}

TEST(FieldRules, MalformedFormatsAreRefused) {
  for (const char* f : {"",          "I4",     "(I4",      "I4)",   "(I4))",  "(I4) x",     "()",
                        "(I4,)",     "(,I4)",  "(I4,,I4)", "(Q4)",  "(I)",    "(I4.)",      "(F8)",
                        "(F8.)",     "(F.3)",  "(A0)",     "(I0)",  "(X)",    "(TL3)",      "(T3)",
                        "(TR)",      "(0A12)", "(0(I4))",  "(2())", "(2(I4)", "(999999A1)", "(1000(1000(1000A1)))",
                        "(I4 F8.3)", "(-I4)"}) {
    EXPECT_THROW(Format::parse(f), Error) << '"' << f << '"';
  }
  try {
    Format::parse("(I4,Q)");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("(I4,Q)"), std::string::npos) << e.what();
  }
}

TEST(FieldRules, ApplyingAParsedFormatAllocatesNothingOnceTheLineFits) {
  const Format fmt = Format::parse("(I4,2F8.3, 18F12.3)");
  std::vector<Value> values{I(3), F(105.5f), F(21.25f)};
  for (int j = 0; j < 18; ++j) values.push_back(F(-1.25f * static_cast<float>(j)));
  std::string out;
  out.reserve(20 + 12 * 18);
  const char* before = out.data();
  for (int line = 0; line < 100; ++line) {
    out.clear();
    fmt.apply(values, out);
  }
  EXPECT_EQ(out.data(), before);
  EXPECT_EQ(out.size(), 20u + 12u * 18u);
}

TEST(FieldRules, FixedLengthTextFieldIsBlankPaddedWithoutLineFeed) {
  const Format fmt = Format::parse("(A,I2.2)");
  const std::vector<Value> one{T("Fre_"), I(1)};
  const std::vector<Value> hundred{T("Fre_"), I(100)};
  EXPECT_EQ(write_field(fmt, one, 30), "Fre_01" + std::string(24, ' '));
  EXPECT_EQ(write_field(fmt, hundred, 30), "Fre_**" + std::string(24, ' '));
  EXPECT_EQ(write_field(fmt, one, 6), "Fre_01");
  EXPECT_THROW(write_field(fmt, one, 5), Error);
  std::string line;
  write_line(fmt, one, line);
  EXPECT_EQ(line, "Fre_01\n");
}

// ---------------------------------------------------------------------------
// Region codes: truncation toward zero, with a defined result for reals
// that have no 32-bit integer.

TEST(TruncatedInt, TruncatesTowardZeroOrMarksTheValueUnfit) {
  const std::vector<std::pair<float, std::optional<std::int32_t>>> cases = {
      {3.9f, 3},
      {-2.7f, -2},
      {2.999f, 2},
      {-0.5f, 0},
      {0.0f, 0},
      {-0.0f, 0},
      {-2147483648.0f, INT32_MIN},
      {2147483520.0f, 2147483520},
      {2147483648.0f, std::nullopt},
      {std::nextafter(-2147483648.0f, -kInf), std::nullopt},
      {3e9f, std::nullopt},
      {-3e9f, std::nullopt},
      {kNaN, std::nullopt},
      {-kNaN, std::nullopt},
      {kInf, std::nullopt},
      {-kInf, std::nullopt}};
  for (const auto& [x, want] : cases) {
    const Value v = truncated_int(x);
    if (want) {
      ASSERT_EQ(v.kind, Value::Kind::Int) << x;
      EXPECT_EQ(v.i, *want) << x;
    } else {
      EXPECT_EQ(v.kind, Value::Kind::BadInt) << x;
      EXPECT_EQ(render("(I4)", {v}), "****") << x;
    }
  }
}

// ---------------------------------------------------------------------------
// Fw.d against an independent exact method (dxtest::f_field: std::to_chars
// on the value widened to double, with the field layout done there).

// put_real writes exactly the field: nothing before or after it.
::testing::AssertionResult same_field(float x, int w, int d) {
  char field[48];
  std::memset(field, '#', sizeof field);
  put_real(field + 8, w, d, x);
  const std::string want = dxtest::f_field(x, w, d);
  const std::string_view got(field + 8, static_cast<std::size_t>(w));
  if (got == want && std::string_view(field, 8) == "########" && field[8 + w] == '#')
    return ::testing::AssertionSuccess();
  char bits[16];
  std::snprintf(bits, sizeof bits, "0x%08x", static_cast<unsigned>(std::bit_cast<std::uint32_t>(x)));
  return ::testing::AssertionFailure() << "F" << w << "." << d << " of bits " << bits << ": got \"" << got
                                       << "\", want \"" << want << "\"";
}

// The inline path takes fields of 8 to 16 characters with at most w - 3
// decimals and values whose digits fit; the general path the rest.  Where
// they meet (the widths, the decimals, the powers of ten and the
// rounding edges just below them) both must give the same bytes.
TEST(PutReal, SameBytesWhereTheInlineAndTheGeneralPathMeet) {
  for (const int d : {0, 1, 2, 3, 5, 12, 13}) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 2.5f,
                                 -1.25f,
                                 kNaN,
                                 kInf,
                                 -kInf,
                                 std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::lowest(),
                                 std::numeric_limits<float>::denorm_min()};
    const double unit = std::pow(10.0, -d);
    for (double p = 1e-4; p <= 1e15; p *= 10)
      for (const double edge : {p, p - unit / 2, p - unit}) {
        float x = static_cast<float>(edge);
        for (int k = 0; k < 4; ++k) x = std::nextafter(x, -kInf);
        for (int k = 0; k < 9; ++k, x = std::nextafter(x, kInf)) {
          values.push_back(x);
          values.push_back(-x);
        }
      }
    int mismatches = 0;
    for (int w = 1; w <= 20; ++w)
      for (const float x : values) {
        const auto same = same_field(x, w, d);
        if (!same && ++mismatches <= 10) ADD_FAILURE() << same.message();
      }
    EXPECT_EQ(mismatches, 0) << "d = " << d;
  }
}

TEST(PutReal, MatchesExactDecimalConversionOnAMillionFloats) {
  struct Field {
    int w, d;
  };
  constexpr Field kFields[] = {{8, 1}, {8, 3}, {12, 1}, {12, 3}};
  std::mt19937_64 rng(20240611);
  std::vector<float> samples;
  samples.reserve(1'100'000);

  // Random bit patterns: every class of float, NaNs and infinities included.
  for (int n = 0; n < 300'000; ++n) samples.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
  // Random values of the magnitudes that the fields can hold.
  std::uniform_real_distribution<double> exponent(-5.0, 11.0);
  for (int n = 0; n < 300'000; ++n) {
    const double x = std::pow(10.0, exponent(rng));
    samples.push_back(static_cast<float>(rng() & 1 ? -x : x));
  }
  // Around k/10^d and the rounding midpoints (k+1/2)/10^d, a few ulps apart.
  for (int n = 0; n < 300'000; ++n) {
    const int d = (n & 1) ? 3 : 1;
    const double scale = d == 3 ? 1e3 : 1e1;
    const auto k = static_cast<double>(rng() % (n % 4 < 2 ? 100'000 : 100'000'000));
    const double target = (k + ((n & 2) ? 0.5 : 0.0)) / scale;
    float x = static_cast<float>(rng() & 4 ? -target : target);
    const int steps = static_cast<int>(rng() % 5) - 2;
    for (int s = 0; s < std::abs(steps); ++s) x = std::nextafter(x, steps < 0 ? -kInf : kInf);
    samples.push_back(x);
  }
  // Exact binary ties: odd multiples of 2^-4 (d = 3) and of 2^-2 (d = 1).
  for (int n = 0; n < 150'000; ++n) {
    const auto odd = static_cast<float>((rng() % (1u << 22)) | 1u);
    const float x = std::ldexp(odd, (n & 1) ? -4 : -2);
    samples.push_back(rng() & 1 ? -x : x);
  }
  // Near the overflow limits of F8.d and F12.d, both signs.
  for (const double limit :
       {9999.9995, 999.9995, 99999999.9995, 9999999.9995, 999999.95, 99999.95, 9999999999.95, 999999999.95}) {
    for (const double signed_limit : {limit, -limit}) {
      float x = static_cast<float>(signed_limit);
      for (int s = 0; s < 2000; ++s) x = std::nextafter(x, -kInf);
      for (int s = 0; s < 4001; ++s, x = std::nextafter(x, kInf)) samples.push_back(x);
    }
  }
  ASSERT_GE(samples.size(), 1'000'000u);

  int mismatches = 0;
  for (const float x : samples) {
    for (const Field& f : kFields) {
      const auto same = same_field(x, f.w, f.d);
      if (!same && ++mismatches <= 10) ADD_FAILURE() << same.message();
    }
  }
  EXPECT_EQ(mismatches, 0);
}

#ifdef DX_TEST_HAVE_MXCSR
TEST(PutReal, DenormalsUnderFlushToZeroMode) {
  const std::vector<std::uint32_t> bits = {0x00000001u, 0x80000001u, 0x007fffffu, 0x807fffffu, 0x00400000u};
  for (const std::uint32_t b : bits) {
    const float x = std::bit_cast<float>(b);
    char plain[8];
    char daz[8];
    put_real(plain, 8, 3, x);
    const unsigned saved = dxtest::numeric_mode();
    dxtest::set_numeric_mode(saved | dxtest::kFlushToZeroBits);
    put_real(daz, 8, 3, x);
    const Value t = truncated_int(x);
    dxtest::set_numeric_mode(saved);
    const std::string got(daz, 8);
    EXPECT_EQ(got, std::string(plain, 8));
    EXPECT_EQ(got, (b & 0x80000000u) ? "  -0.000" : "   0.000");
    EXPECT_EQ(t.kind, Value::Kind::Int);
    EXPECT_EQ(t.i, 0);
  }
}
#endif

// ---------------------------------------------------------------------------
// Free-form console lines.

TEST(ListLine, LeadingBlankTextsAsTheyStandIntegersAsI12) {
  struct Case {
    std::vector<Value> values;
    std::string expected;
  };
  const std::vector<Case> cases = {{{T("   Reading netCDF file: "), T("Sen_Prob_idx_Stn.nc"), T("...")},
                                    "    Reading netCDF file: Sen_Prob_idx_Stn.nc...\n"},
                                   {{T("; length = "), I(180)}, " ; length =          180\n"},
                                   {{T("dim  "), I(-5), I(7)}, " dim            -5           7\n"},
                                   {{T("Write to Grads Num_Dr_Mon Done")}, " Write to Grads Num_Dr_Mon Done\n"},
                                   {{}, " \n"}};
  for (const Case& c : cases) {
    std::string out;
    list_line(c.values, out);
    EXPECT_EQ(out, c.expected);
  }
  std::string out;
  const std::vector<Value> real{F(1.0f)};
  EXPECT_THROW(list_line(real, out), Error);
}

}  // namespace
}  // namespace dx
