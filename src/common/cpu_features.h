// What the processor offers beyond the build's baseline, asked once at run
// time, for the passes that have a faster path for it. Every path gives the
// same results; only the speed differs.
#pragma once

// Whether this build has the 256-bit paths: x86 with a compiler that takes
// a target per function, not on Windows, where the compiler may keep 256-bit
// registers on a stack aligned to 16 bytes only. TARN_AVX2 marks a function
// compiled for AVX2, which only runs when cpu_has_avx2() says so.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define TARN_AVX2_PATHS 1
#define TARN_AVX2 __attribute__((target("avx2")))
#else
#define TARN_AVX2_PATHS 0
#endif

namespace tarn {

// x86 processors, built with a compiler that can ask; false elsewhere.
bool cpu_has_avx2();
bool cpu_has_pclmul();

}  // namespace tarn
