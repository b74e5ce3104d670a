// The processor's extensions; see the header.
#include "common/cpu_features.h"

namespace tarn {

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

bool cpu_has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

bool cpu_has_pclmul() {
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return supported;
}

#else

bool cpu_has_avx2() { return false; }
bool cpu_has_pclmul() { return false; }

#endif

}  // namespace tarn
