// The parts of platform::File that are the same on every system: the file is
// a C stream with a buffer of the caller's size; only opening, positions,
// lengths and identities need the system's own calls.
#pragma once

#include <cstddef>
#include <cstdio>

namespace tarn::platform {

// Gives `stream` a fully buffered buffer of buffer_size bytes (none for 0);
// the caller owns the returned array, nullptr when none was set.
char* give_stream_buffer(std::FILE* stream, size_t buffer_size);

}  // namespace tarn::platform
