#include "maps/png.hpp"

#include <algorithm>
#include <cstdint>

namespace dx {
namespace {

std::uint32_t big_endian(std::string_view b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

}  // namespace

std::string png_defect(std::string_view bytes, unsigned width, unsigned height) {
  constexpr std::string_view kSignature = "\x89PNG\r\n\x1a\n";
  if (bytes.empty()) return "the picture is empty";
  if (!bytes.starts_with(kSignature.substr(0, std::min(bytes.size(), kSignature.size()))))
    return "the picture is not a PNG image";
  const auto cut = [&] { return "the picture is cut short after " + std::to_string(bytes.size()) + " bytes"; };
  bool image_data = false;
  // Chunks: length, type, data, checksum.
  for (std::size_t at = kSignature.size(), n = 0;; ++n) {
    if (bytes.size() < at + 12) return cut();
    const std::uint64_t length = big_endian(bytes, at);
    const std::string_view type = bytes.substr(at + 4, 4);
    if (bytes.size() < at + 12 + length) return cut();
    if (n == 0) {
      if (type != "IHDR" || length < 8) return "the picture has no PNG header";
      const std::uint32_t w = big_endian(bytes, at + 8), h = big_endian(bytes, at + 12);
      if (w != width || h != height)
        return "the picture is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, not " +
               std::to_string(width) + " x " + std::to_string(height);
    }
    image_data = image_data || type == "IDAT";
    at += 12 + length;
    if (type != "IEND") continue;
    if (!image_data) return "the picture holds no image data";
    if (at != bytes.size()) return "the picture has " + std::to_string(bytes.size() - at) + " bytes after its end";
    return "";
  }
}

}  // namespace dx
