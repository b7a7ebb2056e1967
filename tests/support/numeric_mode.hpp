#pragma once
// The processor's numeric mode, as the run sets it: denormal inputs read as
// zero and denormal results flushed to zero.  Only where the SSE control
// register exists (DX_TEST_HAVE_MXCSR is then defined).
#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#define DX_TEST_HAVE_MXCSR 1

namespace dxtest {

// MXCSR bits: flush-to-zero (bit 15) and denormals-are-zero (bit 6).
inline constexpr unsigned kFlushToZeroBits = 0x8040u;

// The current MXCSR, and setting it (to restore a saved mode, or to add
// kFlushToZeroBits).
inline unsigned numeric_mode() { return _mm_getcsr(); }
inline void set_numeric_mode(unsigned mode) { _mm_setcsr(mode); }

}  // namespace dxtest
#endif
