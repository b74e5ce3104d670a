// Win32 processor count: the processors of the process's affinity mask.
#include <windows.h>

#include <bit>
#include <thread>

#include "platform/processors.h"

namespace tarn::platform {

unsigned usable_processors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) != 0 && process != 0)
    return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(process)));
  const unsigned n = std::thread::hardware_concurrency();
  return n < 1 ? 1 : n;
}

}  // namespace tarn::platform
