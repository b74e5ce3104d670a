// What the processor offers beyond the build's baseline, asked once at run
// time, for the passes that have a faster path for it. Every path gives the
// same results; only the speed differs.
#pragma once

namespace tarn {

// x86 processors, built with a compiler that can ask; false elsewhere.
bool cpu_has_avx2();
bool cpu_has_pclmul();

}  // namespace tarn
