#include "output/format.hpp"

#include <algorithm>
#include <cctype>
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

// Copies n bytes; fields are mostly 4 to 16 characters, and two overlapping
// fixed-size copies avoid a library call for those.
inline void copy_small(char* dst, const char* src, int n) {
  if (n >= 8 && n <= 16) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else if (n > 0) {
    std::memcpy(dst, src, static_cast<std::size_t>(n));
  }
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
  // One byte kept free for the point that Fw.0 adds.
  const auto res = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::fixed, d);
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

void put_stars(char* dst, int w) {
  if (w > 0) std::memset(dst, '*', static_cast<std::size_t>(w));
}

void put_int(char* dst, int w, int min_digits, std::int32_t v) {
  if (w <= 0) return;
  const bool neg = v < 0;
  // Unsigned negation: the magnitude of INT32_MIN has no int32 form.
  const std::uint32_t mag = neg ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
  char buf[32];
  std::memset(buf, ' ', sizeof buf);
  char* const end = buf + sizeof buf;
  // Iw.0 of zero writes no digit at all: an all-blank field.
  char* digits = (min_digits == 0 && mag == 0) ? end : digits_backward(end, mag);
  const int ndig = static_cast<int>(end - digits);
  const int body = std::max(ndig, min_digits);  // leading zeros up to m digits
  const int len = body + (neg ? 1 : 0);
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  if (w < static_cast<int>(sizeof buf)) {
    // The whole field in the buffer, blanks included, then one short copy.
    while (digits > end - body) *--digits = '0';
    if (neg) *--digits = '-';
    copy_small(dst, end - w, w);
    return;
  }
  char* o = dst;
  std::memset(o, ' ', static_cast<std::size_t>(w - len));
  o += w - len;
  if (neg) *o++ = '-';
  std::memset(o, '0', static_cast<std::size_t>(body - ndig));
  o += body - ndig;
  std::memcpy(o, digits, static_cast<std::size_t>(ndig));
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
  if (!(scaled < 1e18)) {
    // Beyond 64-bit integers: only a very wide field can hold it.
    if (w > 19) put_real_exact(dst, w, d, static_cast<double>(v));
    else put_stars(dst, w);
    return;
  }
  // Round to nearest, ties to even, on the exact scaled value.  Both the
  // truncation and the fraction are exact, so this does not depend on the
  // processor's rounding mode.
  std::uint64_t n = static_cast<std::uint64_t>(scaled);
  const double frac = scaled - static_cast<double>(n);
  // Branch-free: the fraction is as good as random in a table.
  n += static_cast<std::uint64_t>((frac > 0.5) | ((frac == 0.5) & static_cast<bool>(n & 1)));
  // Digits from the right into a blank-filled buffer: d decimals, the
  // point, the integer part ("0" at least).
  char buf[48];
  std::memset(buf, ' ', sizeof buf);
  char* const end = buf + sizeof buf;
  char* p = end;
  for (int k = d; k >= 2; k -= 2) {
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * (n % 100), 2);
    n /= 100;
  }
  if (d & 1) {
    *--p = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  *--p = '.';
  p = digits_backward(p, n);
  const bool neg = std::signbit(v);  // also for a value that rounds to zero
  int len = static_cast<int>(end - p) + (neg ? 1 : 0);
  if (len == w + 1 && p[0] == '0') {
    *p++ = ' ';  // a field one column too narrow drops the leading zero
    --len;
  }
  if (len > w) {
    put_stars(dst, w);
    return;
  }
  if (neg) *--p = '-';
  if (w <= static_cast<int>(sizeof buf)) copy_small(dst, end - w, w);  // blanks included
  else put_justified(dst, w, p, len);
}

void put_text(char* dst, int w, std::string_view text) {
  if (w <= 0) return;
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

constexpr std::size_t kMaxRules = 100000;

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

  // Repeat counts are expanded at parse time; nested counts could multiply
  // into an absurd rule list, so the expanded length is bounded.
  void check_room(const std::vector<Format::Rule>& rules, std::size_t more) {
    if (more > kMaxRules - rules.size()) fail("too many field rules after expanding repeat counts");
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
    if (counted && repeat == 0) fail("count 0");
    if (c == '(') {
      ++pos_;
      const std::vector<Format::Rule> group = list();
      expect(')');
      check_room(rules, group.size() * static_cast<std::size_t>(repeat));
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
    check_room(rules, static_cast<std::size_t>(repeat));
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
  // First pass: match the values to the rules, find where the line ends and
  // how long it is, so that the line grows once and a refused value leaves
  // `out` untouched.
  std::size_t next = 0;
  std::size_t used = 0;
  std::size_t len = 0;
  for (; used < rules_.size(); ++used) {
    const Rule& rule = rules_[used];
    if (rule.code == 'X') {
      len += static_cast<std::size_t>(rule.w);
      continue;
    }
    if (next == values.size()) break;  // values used up: the line ends here
    const Value& v = values[next++];
    const bool ok = (rule.code == 'A' && v.kind == Value::Kind::Text) ||
                    (rule.code == 'I' && (v.kind == Value::Kind::Int || v.kind == Value::Kind::BadInt)) ||
                    (rule.code == 'F' && v.kind == Value::Kind::Real);
    if (!ok)
      throw Error(std::string("format rule ") + rule.code + " cannot write a " + kind_name(v.kind) + " value");
    len += rule.w < 0 ? v.s.size() : static_cast<std::size_t>(rule.w);
  }
  if (next < values.size()) throw Error("more values than the format has rules");

  const std::size_t at = out.size();
  out.resize(at + len, ' ');  // skipped columns stay blank
  char* dst = out.data() + at;
  next = 0;
  for (std::size_t k = 0; k < used; ++k) {
    const Rule& rule = rules_[k];
    if (rule.code == 'X') {
      dst += rule.w;
      continue;
    }
    const Value& v = values[next++];
    switch (rule.code) {
      case 'A':
        if (rule.w < 0) {
          if (!v.s.empty()) std::memcpy(dst, v.s.data(), v.s.size());
          dst += v.s.size();
          continue;
        }
        put_text(dst, rule.w, v.s);
        break;
      case 'I':
        if (v.kind == Value::Kind::BadInt) put_stars(dst, rule.w);
        else put_int(dst, rule.w, rule.m, v.i);
        break;
      default: put_real(dst, rule.w, rule.m, v.r); break;
    }
    dst += rule.w;
  }
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
