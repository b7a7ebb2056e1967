// The inline Fw.3 path of the station tables must write exactly what
// put_real writes, for every float: it decides itself where it hands over,
// so the cases near its limits, rounding ties and signs matter most.
#include "output/fast_real.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/numeric_mode.hpp"

namespace dx {
namespace {

// Both writers on a field of w characters with guard bytes around it: the
// inline path must write the whole field and nothing outside it.
void expect_same(int w, float v) {
  std::string fast(w + 32, '#'), slow(w + 32, '#');
  put_real_f3(fast.data() + 16, w, v);
  put_real(slow.data() + 16, w, 3, v);
  ASSERT_EQ(fast, slow) << "F" << w << ".3 of " << v << " (bits 0x" << std::hex << std::bit_cast<std::uint32_t>(v)
                        << ")";
}

std::vector<float> edge_values() {
  std::vector<float> v = {0.0f, -0.0f, 0.0004f, -0.0004f, 0.0005f, -0.0005f, 0.0015f, 0.0625f, -0.0625f,
                          1.0625f, -1.0625f, 2.5f, 0.9995f, 9.9995f, 99.9995f, 999.9995f, 9999.9995f,
                          -999.9995f, 12.0f, -1.25f, 105.5f, 21.25f, -9999.0f,
                          std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max(),
                          std::numeric_limits<float>::lowest(), std::numeric_limits<float>::min(),
                          std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min()};
  // The neighbours of every power of ten and of the inline limits, where
  // the digit count and the hand-over change.
  for (double p = 1e-4; p <= 1e12; p *= 10)
    for (double edge : {p, p - 0.0005, p - 0.5, p / 1000.0 - 0.0005}) {
      for (float x : {static_cast<float>(edge), -static_cast<float>(edge)}) {
        float y = x;
        for (int k = 0; k < 8; ++k) y = std::nextafter(y, std::numeric_limits<float>::infinity());
        for (int k = 0; k < 16; ++k, y = std::nextafter(y, -std::numeric_limits<float>::infinity()))
          v.push_back(y);
      }
    }
  return v;
}

TEST(PutRealF3, SameBytesAsPutRealAtEdges) {
  for (int w = 1; w <= 20; ++w)
    for (float x : edge_values()) expect_same(w, x);
}

// Exact ties: j/16 times 1000 is 62.5 j, a half for every odd j.
TEST(PutRealF3, RoundsTiesToEven) {
  for (int j = 1; j < 20000; j += 2) {
    const float x = static_cast<float>(j) / 16.0f;
    for (int w : {8, 12}) {
      expect_same(w, x);
      expect_same(w, -x);
    }
  }
}

TEST(PutRealF3, SameBytesAsPutRealOnRandomFloats) {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<float> typical(-1000.0f, 1000.0f);
  std::uniform_real_distribution<float> wide(-2e10f, 2e10f);
  for (int i = 0; i < 1'000'000; ++i) {
    const float any = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    for (int w : {8, 12}) {
      expect_same(w, any);
      expect_same(w, typical(rng));
      expect_same(w, wide(rng));
    }
  }
}

// The run reads denormals as zero (flush-to-zero, denormals-are-zero);
// both writers must agree in that mode as well.
#ifdef DX_TEST_HAVE_MXCSR
TEST(PutRealF3, SameBytesUnderFlushToZeroMode) {
  const unsigned saved = dxtest::numeric_mode();
  dxtest::set_numeric_mode(saved | dxtest::kFlushToZeroBits);
  for (float x : edge_values())
    for (int w : {8, 12}) expect_same(w, x);
  dxtest::set_numeric_mode(saved);
}
#endif

}  // namespace
}  // namespace dx
