// Large zeroed memory for the model heaps.
//
// A PPM heap is tens of megabytes touched at random, so the cost of its page
// faults and TLB misses shows in every coded byte. Where the system offers
// large pages on request, the heap asks for them; otherwise this is a plain
// zeroed allocation. Either way the memory starts zeroed and is returned with
// release_zeroed().
#pragma once

#include <cstddef>

namespace tarn::platform {

// Zeroed memory of `size` bytes, or nullptr when the system has none.
void* allocate_zeroed(size_t size);
void release_zeroed(void* memory, size_t size);

}  // namespace tarn::platform
