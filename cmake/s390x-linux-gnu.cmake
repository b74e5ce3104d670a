# Cross-compiling for 64-bit IBM Z Linux, a big-endian machine (Debian:
# g++-s390x-linux-gnu; qemu-user runs the result).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TARN_CROSS_TRIPLE s390x-linux-gnu)
set(TARN_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
