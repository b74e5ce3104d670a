// Win32 large allocations: committed pages from VirtualAlloc, zeroed by the
// system.
#include <windows.h>

#include "platform/memory.h"

namespace tarn::platform {

void* allocate_zeroed(size_t size) {
  if (size == 0) size = 1;
  return ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void release_zeroed(void* memory, size_t /*size*/) {
  if (memory != nullptr) ::VirtualFree(memory, 0, MEM_RELEASE);
}

void fault_in(void* /*memory*/, size_t /*size*/) {}  // committed pages fault in as they are written

void return_large_blocks_when_freed() {}  // the C runtime's heap returns large blocks itself

}  // namespace tarn::platform
