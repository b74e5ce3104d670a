# Cross-compiling for 64-bit ARM Linux (Debian: g++-aarch64-linux-gnu; qemu-user runs the result).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARN_CROSS_TRIPLE aarch64-linux-gnu)
set(TARN_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
