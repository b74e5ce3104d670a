// Hints that change speed only, never a result: fetching heap memory into
// the cache before it is read, and asking the system for large pages for the
// model heaps. This is the one switch for them: every build takes the hints
// its compiler and system offer (GCC and Clang prefetch on every processor
// they target; Linux takes the large-page request), and a build configured
// with -DTARN_SPEED_HINTS=OFF takes none, which shows that no archive byte
// depends on them.
#pragma once

#include <cstdint>

namespace tarn {

#if defined(TARN_NO_SPEED_HINTS)
inline constexpr bool SPEED_HINTS = false;
#else
inline constexpr bool SPEED_HINTS = true;
#endif

// Starts loading the cache line at `p` for a read soon after.
inline void prefetch_for_read(const void* p) {
#if !defined(TARN_NO_SPEED_HINTS) && defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Marks a value as used. A walk that reads records ahead only to bring them
// into the cache has no result, and the compiler would drop it otherwise.
inline void keep_value(uint32_t v) {
#if !defined(TARN_NO_SPEED_HINTS) && defined(__GNUC__)
  asm volatile("" : : "r"(v));
#else
  (void)v;
#endif
}

}  // namespace tarn
