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
// Makes the pages of a range of such memory present, as a first write to
// each would, without changing a byte, so that the thread that writes there
// later does not stop for the system; the memory may be written meanwhile.
// Where the system offers no such call, nothing happens.
void fault_in(void* memory, size_t size);

// Makes the allocator hand large blocks (a chunk, a decoded buffer) back to
// the system as soon as they are freed, instead of keeping them for later,
// so that a run's memory is what it holds, not what it once held. Called
// once at the start of a program.
void return_large_blocks_when_freed();

}  // namespace tarn::platform
