// Storage of the store's arrays: small blocks from the heap, large ones
// mapped from the kernel (with huge pages inside).  Whatever the size, an
// array must come zero-filled, keep its values when reused for overwriting,
// move and give its memory back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/store.hpp"

namespace dx {
namespace {

bool all_zero(const Array2& a) {
  return std::all_of(a.data(), a.data() + a.size(), [](float v) { return v == 0.0f; });
}

void fill(Array2& a, float base) {
  for (std::size_t i = 0; i < a.size(); ++i) a.data()[i] = base + static_cast<float>(i % 1000);
}

TEST(FloatBlock, ZeroFilledReusedMovedAndReleasedAtEverySize) {
  // Rows x columns: heap blocks, a mapped block below one huge page, and
  // mapped blocks spanning several huge pages with a ragged tail.
  const std::pair<std::size_t, std::size_t> shapes[] = {{1, 1}, {200, 18}, {70000, 4}, {100000, 18}, {333333, 7}};
  for (const auto& [rows, cols] : shapes) {
    SCOPED_TRACE(std::to_string(rows) + " x " + std::to_string(cols));
    Array2 a({rows, cols});
    ASSERT_EQ(a.size(), rows * cols);
    EXPECT_TRUE(all_zero(a));
    fill(a, 1.0f);
    EXPECT_EQ(a(rows - 1, cols - 1), 1.0f + static_cast<float>((rows * cols - 1) % 1000));

    // Reallocating to the same size for overwriting keeps the block as it
    // is; allocating clears it again.
    const float* before = a.data();
    a.allocate_for_overwrite({rows, cols});
    EXPECT_EQ(a.data(), before);
    EXPECT_EQ(a(rows - 1, 0), 1.0f + static_cast<float>((rows - 1) % 1000));
    a.allocate({rows, cols});
    EXPECT_TRUE(all_zero(a));

    // Another size gives a fresh zero-filled block.
    fill(a, 2.0f);
    a.allocate({rows + 1, cols});
    EXPECT_EQ(a.size(), (rows + 1) * cols);
    EXPECT_TRUE(all_zero(a));

    // A moved-from array is empty; release leaves nothing allocated.
    a(0, 0) = -5.0f;
    Array2 c = std::move(a);
    EXPECT_EQ(c(0, 0), -5.0f);
    EXPECT_EQ(a.size(), 0u);
    c.release();
    EXPECT_FALSE(c.allocated());
    EXPECT_EQ(c.size(), 0u);
    EXPECT_EQ(c.data(), nullptr);
  }
}

TEST(FloatBlock, EmptyExtentsAllocateNothing) {
  Array3 a({18, 0, 12});
  EXPECT_TRUE(a.allocated());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.extent(2), 12u);
}

}  // namespace
}  // namespace dx
