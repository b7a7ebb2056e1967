// Pictures judged by their bytes: a whole PNG of the expected size passes;
// a file cut anywhere, empty, of another kind or size does not.
#include "maps/png.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string chunk(const std::string& type, const std::string& data) {
  return be32(static_cast<std::uint32_t>(data.size())) + type + data + "CRC!";
}
std::string png(std::uint32_t w, std::uint32_t h, bool data = true) {
  return "\x89PNG\r\n\x1a\n" + chunk("IHDR", be32(w) + be32(h) + std::string("\x08\x02\0\0\0", 5)) +
         (data ? chunk("IDAT", std::string(300, 'z')) : "") + chunk("IEND", "");
}

TEST(Png, OnlyAWholeImageOfTheExpectedSizePasses) {
  const std::string whole = png(1600, 1236);
  struct Case {
    const char* name;
    std::string bytes;
    std::string defect;
  };
  const Case cases[] = {
      {"whole", whole, ""},
      {"empty", "", "the picture is empty"},
      {"another kind", "GIF89a....", "the picture is not a PNG image"},
      {"cut in the image data", whole.substr(0, 100), "the picture is cut short after 100 bytes"},
      {"cut before the end chunk", whole.substr(0, whole.size() - 12),
       "the picture is cut short after " + std::to_string(whole.size() - 12) + " bytes"},
      {"another size", png(800, 600), "the picture is 800 x 600 pixels, not 1600 x 1236"},
      {"no image data", png(1600, 1236, false), "the picture holds no image data"},
      {"bytes after its end", whole + "xx", "the picture has 2 bytes after its end"},
      {"no header first", "\x89PNG\r\n\x1a\n" + chunk("IDAT", "z") + chunk("IEND", ""),
       "the picture has no PNG header"},
  };
  for (const Case& c : cases) EXPECT_EQ(dx::png_defect(c.bytes, 1600, 1236), c.defect) << c.name;
  // Cut anywhere: never whole.
  for (std::size_t n = 0; n < whole.size(); ++n)
    EXPECT_NE(dx::png_defect(whole.substr(0, n), 1600, 1236), "") << "cut after " << n;
}

}  // namespace
