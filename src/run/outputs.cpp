#include "run/outputs.hpp"

#include "base/format.hpp"
#include "base/text.hpp"

namespace dx {

std::string period_base(std::string_view prefix, std::int32_t period) {
  static const Format kNameFormat = Format::parse("(A,I2.2)");
  const std::array<Value, 2> items{Value::text(prefix), Value::integer(period)};
  return std::string(trim_right(write_field(kNameFormat, items, kFnameLen)));
}

std::vector<std::string> output_files(std::int32_t nperiod) {
  std::vector<std::string> files;
  for (const TextTable& t : kTextTables) files.emplace_back(t.file);
  const auto data_set = [&files](std::string_view base) {
    files.push_back(std::string(base) + ".dat");
    files.push_back(std::string(base) + ".ctl");
  };
  for (const DataSet& d : kDataSets) data_set(d.base);
  for (std::int32_t p = 1; p <= nperiod; ++p)
    for (const PeriodSet& s : kPeriodSets) data_set(period_base(s.prefix, p));
  return files;
}

}  // namespace dx
