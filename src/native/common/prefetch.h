// prefetch_line(): asks the processor to load one cache line ahead of use.
// A hint only: it never faults, whatever the address, and compiles to
// nothing where the compiler offers no such hint.
#pragma once

#include <cstddef>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace vantorel {

inline constexpr size_t kCacheLine = 64;

inline void prefetch_line(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

}  // namespace vantorel
