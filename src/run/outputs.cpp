#include "run/outputs.hpp"

#include "base/format.hpp"
#include "base/text.hpp"

namespace dx {

std::string period_base(std::string_view prefix, std::int32_t period) {
  static const Format kNameFormat = Format::parse("(A,I2.2)");
  const std::array<Value, 2> items{Value::text(prefix), Value::integer(period)};
  return std::string(trim_right(write_field(kNameFormat, items, kFnameLen)));
}

}  // namespace dx
