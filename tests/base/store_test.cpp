#include "base/store.hpp"
#include "base/text.hpp"

#include <gtest/gtest.h>

#include <span>

namespace dx {
namespace {

TEST(Store, LabelTablesHoldTheirExactTexts) {
  EXPECT_EQ(VARN[0], "pdsi_mod");
  EXPECT_EQ(VARN[5], "spi12_mod");
  EXPECT_EQ(VARN[6], "pdsi_sev");
  EXPECT_EQ(VARN[17], "spi12_ext");
  EXPECT_EQ(IDX_NAME[2], "spei06");
  EXPECT_EQ(IDX_NAME[5], "spi12");
  // Entries 11 and 12 repeat 9 and 10; published headers rely on it.
  EXPECT_EQ(COR_NAME[8], "spei06-spi06");
  EXPECT_EQ(COR_NAME[9], "spei12-spi12");
  EXPECT_EQ(COR_NAME[10], COR_NAME[8]);
  EXPECT_EQ(COR_NAME[11], COR_NAME[9]);
  EXPECT_EQ(COR_NAME[4], "scpdsi-spei06");
  for (auto tbl : {std::span<const std::string_view>(VARN), std::span<const std::string_view>(IDX_NAME),
                   std::span<const std::string_view>(COR_NAME)})
    for (auto name : tbl) EXPECT_LE(name.size(), kLabelLen) << name;
}

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

TEST(Store, TextFieldsAreFixedLength) {
  Store st;
  EXPECT_EQ(st.TITLE.size(), kTitleLen);
  EXPECT_EQ(st.FNAME.size(), kFnameLen);
  EXPECT_EQ(pad_to("Fre_01", 30), "Fre_01" + std::string(24, ' '));
  EXPECT_EQ(trim_right("Fre_01   "), "Fre_01");
  EXPECT_EQ(trim_right("   "), "");
  // The missing-data value must fit F8.1 so that descriptors stay readable.
  EXPECT_GT(kMissingValue, -999999.9f);
}

}  // namespace
}  // namespace dx
