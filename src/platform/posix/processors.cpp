// POSIX processor count: the process's affinity mask where the system has
// one, else the processors online.
#if defined(__linux__)
#include <sched.h>
#endif

#include <thread>

#include "platform/processors.h"

namespace tarn::platform {

unsigned usable_processors() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n < 1 ? 1 : n;
}

}  // namespace tarn::platform
