// POSIX large allocations: anonymous mappings (zeroed by the kernel), with a
// hint for transparent huge pages on Linux.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/speed_hints.h"
#include "platform/memory.h"

namespace tarn::platform {

void* allocate_zeroed(size_t size) {
  if (size == 0) size = 1;
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  if constexpr (SPEED_HINTS) ::madvise(memory, size, MADV_HUGEPAGE);  // refusal changes nothing
#endif
  return memory;
}

void fault_in(void* memory, size_t size) {
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(memory) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(memory) + size;
  if (size > 0) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);  // a hint too
#else
  (void)memory;
  (void)size;
#endif
}

void release_zeroed(void* memory, size_t size) {
  if (memory == nullptr) return;
  if (size == 0) size = 1;
  ::munmap(memory, size);
}

void return_large_blocks_when_freed() {
#if defined(__GLIBC__)
  // glibc raises its mapping threshold each time a mapped block is freed,
  // after which blocks of that size come from the heap and stay there.
  // A fixed threshold keeps every block of 1 MiB or more mapped.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

}  // namespace tarn::platform
