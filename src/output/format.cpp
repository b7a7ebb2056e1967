#include "output/format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "run/error.hpp"

namespace dx {
namespace {

// Two decimal digits per table lookup.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of n ending just before `end`; returns the start.
char* digits_backward(char* end, std::uint64_t n) {
  while (n >= 100) {
    const unsigned pair = static_cast<unsigned>(n % 100);
    n /= 100;
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * pair, 2);
  }
  if (n >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * n, 2);
  } else {
    *--end = static_cast<char>('0' + n);
  }
  return end;
}

// Right-justifies [text, text+len) in a field of w, or asterisks when longer.
void put_justified(char* dst, int w, const char* text, int len) {
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  std::memset(dst, ' ', static_cast<std::size_t>(w - len));
  std::memcpy(dst + (w - len), text, static_cast<std::size_t>(len));
}

// Powers of ten that are exact doubles.  A float has 24 significant bits and
// 5^d at most 28 for d <= 12, so float * 10^d is exact in double precision.
constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6,
                             1e7, 1e8, 1e9, 1e10, 1e11, 1e12};
constexpr int kMaxFastDecimals = 12;

// Fw.d via the exact decimal expansion of the value (slow path, wide fields
// and many decimals).  std::to_chars is exact and rounds ties to even.
void put_real_exact(char* dst, int w, int d, double v) {
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, d);
  if (res.ec != std::errc{}) {
    put_stars(dst, w);
    return;
  }
  int len = static_cast<int>(res.ptr - buf);
  if (d == 0) buf[len++] = '.';  // Fw.0 still writes the point
  const char* text = buf;
  // A field one column too narrow drops the leading zero ("0.500" -> ".500").
  if (len == w + 1) {
    if (buf[0] == '0' && buf[1] == '.') {
      text = buf + 1;
      --len;
    } else if (buf[0] == '-' && buf[1] == '0' && buf[2] == '.') {
      buf[1] = '-';
      text = buf + 1;
      --len;
    }
  }
  put_justified(dst, w, text, len);
}

}  // namespace

Value truncated_int(float x) {
  // Every float in [-2^31, 2^31) truncates into the 32-bit range.
  if (!(x > -2147483904.0f && x < 2147483648.0f)) return Value::bad_int();
  return Value::integer(static_cast<std::int32_t>(x));
}

void put_stars(char* dst, int w) { std::memset(dst, '*', static_cast<std::size_t>(w)); }

void put_int(char* dst, int w, int min_digits, std::int32_t v) {
  char buf[24];
  char* end = buf + sizeof buf;
  const bool neg = v < 0;
  const std::uint64_t mag = neg ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(v))
                                : static_cast<std::uint64_t>(v);
  char* p;
  if (min_digits == 0 && mag == 0) {
    p = end;  // Iw.0 of zero is an all-blank field
  } else {
    p = digits_backward(end, mag);
    const int m = min_digits > 20 ? 20 : min_digits;
    while (end - p < m) *--p = '0';
  }
  if (neg) *--p = '-';
  put_justified(dst, w, p, static_cast<int>(end - p));
}

void put_real(char* dst, int w, int d, float v) {
  if (std::isnan(v)) {
    put_justified(dst, w, "NaN", 3);
    return;
  }
  if (std::isinf(v)) {
    if (v > 0) {
      if (w >= 8) put_justified(dst, w, "Infinity", 8);
      else put_justified(dst, w, "Inf", 3);
    } else {
      if (w >= 9) put_justified(dst, w, "-Infinity", 9);
      else put_justified(dst, w, "-Inf", 4);
    }
    return;
  }
  if (d < 0 || d > kMaxFastDecimals) {
    put_real_exact(dst, w, d < 0 ? 0 : d, static_cast<double>(v));
    return;
  }
  const double scaled = std::fabs(static_cast<double>(v) * kPow10[d]);  // exact
  if (scaled >= 1e18) {
    // Beyond 64-bit integers: only a very wide field can hold it.
    if (w > 19) put_real_exact(dst, w, d, static_cast<double>(v));
    else put_stars(dst, w);
    return;
  }
  // Round to nearest, ties to even, on the exact scaled value.
  const std::uint64_t n = static_cast<std::uint64_t>(std::nearbyint(scaled));
  char buf[32];
  char* end = buf + sizeof buf;
  char* p = digits_backward(end, n);
  while (end - p < d + 1) *--p = '0';  // at least one digit before the point
  // Insert the decimal point before the last d digits.
  char* q = p - 1;
  std::memmove(q, p, static_cast<std::size_t>(end - d - p));
  end[-d - 1] = '.';
  p = q;
  const bool neg = std::signbit(v);
  int len = static_cast<int>(end - p) + (neg ? 1 : 0);
  if (len == w + 1 && p[0] == '0' && p[1] == '.') {
    ++p;  // a field one column too narrow drops the leading zero
    --len;
  }
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  if (neg) *--p = '-';
  put_justified(dst, w, p, len);
}

void put_text(char* dst, int w, std::string_view text) {
  const int len = static_cast<int>(text.size());
  if (len >= w) {
    std::memcpy(dst, text.data(), static_cast<std::size_t>(w));
  } else {
    std::memset(dst, ' ', static_cast<std::size_t>(w - len));
    std::memcpy(dst + (w - len), text.data(), text.size());
  }
}

// ---------------------------------------------------------------------------
// Format parsing.

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::vector<Format::Rule> parse() {
    skip_blanks();
    expect('(');
    std::vector<Format::Rule> rules = list();
    expect(')');
    skip_blanks();
    if (pos_ != text_.size()) fail("text after the closing parenthesis");
    return rules;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error("malformed format \"" + std::string(text_) + "\": " + what);
  }
  void skip_blanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  char peek() {
    skip_blanks();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++pos_;
  }
  bool at_digit() {
    const char c = peek();
    return c >= '0' && c <= '9';
  }
  int number() {
    if (!at_digit()) fail("expected a number");
    long n = 0;
    while (at_digit()) {
      n = n * 10 + (text_[pos_++] - '0');
      if (n > 100000) fail("number too large");
    }
    return static_cast<int>(n);
  }

  std::vector<Format::Rule> list() {
    std::vector<Format::Rule> rules;
    for (;;) {
      item(rules);
      if (peek() != ',') break;
      ++pos_;
    }
    return rules;
  }

  void item(std::vector<Format::Rule>& rules) {
    int repeat = 1;
    const bool counted = at_digit();
    if (counted) repeat = number();
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(peek())));
    if (c == '(') {
      ++pos_;
      const std::vector<Format::Rule> group = list();
      expect(')');
      for (int r = 0; r < repeat; ++r) rules.insert(rules.end(), group.begin(), group.end());
      return;
    }
    Format::Rule rule{};
    ++pos_;
    switch (c) {
      case 'X':  // nX: the count is the skip
        if (!counted) fail("X needs a count");
        rules.push_back({'X', repeat, 0});
        return;
      case 'T':
        if (static_cast<char>(std::toupper(static_cast<unsigned char>(peek()))) != 'R')
          fail("only TRn tabbing is supported");
        ++pos_;
        rule = {'X', number(), 0};
        break;
      case 'A':
        rule = {'A', at_digit() ? number() : -1, 0};
        break;
      case 'I':
        rule = {'I', number(), -1};
        if (peek() == '.') {
          ++pos_;
          rule.m = number();
        }
        break;
      case 'F':
        rule = {'F', number(), 0};
        expect('.');
        rule.m = number();
        break;
      default:
        fail("unknown field rule");
    }
    if (rule.code != 'X' && rule.w == 0) fail("field width 0");
    for (int r = 0; r < repeat; ++r) rules.push_back(rule);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

const char* kind_name(Value::Kind k) {
  switch (k) {
    case Value::Kind::Text: return "text";
    case Value::Kind::Real: return "real";
    default: return "integer";
  }
}

}  // namespace

Format Format::parse(std::string_view text) {
  Format f;
  f.rules_ = Parser(text).parse();
  return f;
}

void Format::apply(std::span<const Value> values, std::string& out) const {
  std::size_t next = 0;
  for (const Rule& rule : rules_) {
    if (rule.code == 'X') {
      out.append(static_cast<std::size_t>(rule.w), ' ');
      continue;
    }
    if (next == values.size()) return;  // values used up: the line ends here
    const Value& v = values[next++];
    const bool ok = (rule.code == 'A' && v.kind == Value::Kind::Text) ||
                    (rule.code == 'I' && (v.kind == Value::Kind::Int || v.kind == Value::Kind::BadInt)) ||
                    (rule.code == 'F' && v.kind == Value::Kind::Real);
    if (!ok)
      throw Error(std::string("format rule ") + rule.code + " cannot write a " + kind_name(v.kind) + " value");
    if (rule.code == 'A' && rule.w < 0) {
      out.append(v.s);
      continue;
    }
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(rule.w));
    char* dst = out.data() + at;
    switch (rule.code) {
      case 'A': put_text(dst, rule.w, v.s); break;
      case 'I':
        if (v.kind == Value::Kind::BadInt) put_stars(dst, rule.w);
        else put_int(dst, rule.w, rule.m, v.i);
        break;
      default: put_real(dst, rule.w, rule.m, v.r); break;
    }
  }
  if (next < values.size()) throw Error("more values than the format has rules");
}

void write_line(const Format& fmt, std::span<const Value> values, std::string& out) {
  fmt.apply(values, out);
  out.push_back('\n');
}

std::string write_field(const Format& fmt, std::span<const Value> values, std::size_t len) {
  std::string s;
  fmt.apply(values, s);
  if (s.size() > len) throw Error("formatted text \"" + s + "\" is longer than its field");
  s.resize(len, ' ');
  return s;
}

void list_line(std::span<const Value> values, std::string& out) {
  out.push_back(' ');
  for (const Value& v : values) {
    switch (v.kind) {
      case Value::Kind::Text: out.append(v.s); break;
      case Value::Kind::Int: {
        const std::size_t at = out.size();
        out.resize(at + 12);
        put_int(out.data() + at, 12, -1, v.i);
        break;
      }
      default: throw Error("console lines carry only texts and integers");
    }
  }
  out.push_back('\n');
}

}  // namespace dx
