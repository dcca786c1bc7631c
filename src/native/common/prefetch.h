// prefetch_line(): asks the processor to load one cache line ahead of use.
// A hint only: it never faults, whatever the address, and compiles to
// nothing where the compiler offers no such hint.
//
// load_line(): loads one cache line now and discards it. Unlike a prefetch,
// which the processor may drop when its address is not in the translation
// cache (as in a large heap it often is not), a load always walks the page
// tables and fetches the line, and several such loads overlap. The address
// must be readable.
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

inline void load_line(const void* address) {
  (void)*static_cast<const volatile char*>(address);
}

}  // namespace vantorel
