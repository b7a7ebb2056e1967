#include "output/text_table.hpp"
// PLACEHOLDER: being written; replaced by the real writer.
namespace dx {
void write_to_text(const Array2&, std::int32_t, std::int32_t, const Array1&, const Array1&,
                   const Array1&, std::span<const std::string_view>, std::string_view,
                   std::string_view) {
  throw Error("write_to_text not built yet");
}
}  // namespace dx
