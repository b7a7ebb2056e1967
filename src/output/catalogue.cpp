#include "output/catalogue.hpp"

#include <algorithm>

#include "base/format.hpp"
#include "base/text.hpp"

namespace dx {

std::array<const Statistic*, kStatistics.size()> statistics_in_table_order() {
  std::array<const Statistic*, kStatistics.size()> order{};
  for (const Statistic& s : kStatistics) order[static_cast<std::size_t>(s.table_rank)] = &s;
  return order;
}

std::string period_base(std::string_view prefix, std::int32_t period) {
  static const Format kNameFormat = Format::parse("(A,I2.2)");
  const std::array<Value, 2> items{Value::text(prefix), Value::integer(period)};
  return std::string(trim_right(write_field(kNameFormat, items, kFnameLen)));
}

std::vector<std::string> output_files(std::int32_t nperiod) {
  std::vector<std::string> files;
  for (const Statistic* s : statistics_in_table_order()) files.emplace_back(s->table);
  const auto data_set = [&files](std::string_view base) {
    files.push_back(std::string(base) + ".dat");
    files.push_back(std::string(base) + ".ctl");
  };
  for (const Statistic& s : kStatistics) data_set(s.base);
  for (std::int32_t p = 1; p <= nperiod; ++p)
    for (const PeriodStatistic& s : kPeriodStatistics) data_set(period_base(s.prefix, p));
  return files;
}

}  // namespace dx
