#include "base/format.hpp"

#include <cctype>
#include <cstring>
#include <string>

#include "base/error.hpp"

namespace dx {

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
      case 'A': rule = {'A', at_digit() ? number() : -1, 0}; break;
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
      default: fail("unknown field rule");
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
    if (!ok) throw Error(std::string("format rule ") + rule.code + " cannot write a " + kind_name(v.kind) + " value");
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
