#include "base/store.hpp"
#include "base/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace dx {
namespace {

TEST(Store, ColArrayIsColumnMajorWithFirstIndexFastest) {
  Array3 a({2, 3, 4});
  a(1, 2, 3) = 7.0f;
  EXPECT_EQ(a.data()[1 + 2 * 2 + 3 * 6], 7.0f);
  Array2 b({5, 2});
  b(4, 1) = 3.0f;
  EXPECT_EQ(b.column(1)[4], 3.0f);
  EXPECT_EQ(b.size(), 10u);
  b.release();
  EXPECT_FALSE(b.allocated());
  EXPECT_EQ(b.extent(0), 0u);
}

TEST(Store, PaddingAndTrimmingOfFixedLengthTexts) {
  EXPECT_EQ(pad_to("Fre_01", 30), "Fre_01" + std::string(24, ' '));
  EXPECT_EQ(pad_to("a long name", 4), "a lo");
  EXPECT_EQ(trim_right("Fre_01   "), "Fre_01");
  EXPECT_EQ(trim_right(" a b "), " a b");
  EXPECT_EQ(trim_right("   "), "");
}

}  // namespace
}  // namespace dx
