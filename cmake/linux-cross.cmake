# Shared part of the Linux cross toolchains (aarch64-linux-gnu.cmake,
# s390x-linux-gnu.cmake): Debian's cross compilers g++-<triple>, the target's
# libraries under /usr/<triple>, and qemu-user to run what is built.
#
# Set before including: TARN_CROSS_TRIPLE (e.g. aarch64-linux-gnu),
# CMAKE_SYSTEM_PROCESSOR and TARN_CROSS_QEMU (e.g. qemu-aarch64).
set(CMAKE_SYSTEM_NAME Linux)
find_program(CMAKE_CXX_COMPILER NAMES ${TARN_CROSS_TRIPLE}-g++ REQUIRED)
# GoogleTest's own CMake project wants a C compiler too.
find_program(CMAKE_C_COMPILER NAMES ${TARN_CROSS_TRIPLE}-gcc REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The system's GoogleTest library is the build machine's: the tests link one
# compiled here from the sources libgtest-dev ships.
set(TARN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")

# ctest (and test discovery) run the target's programs under qemu-user, with
# the target's libraries as their root (binfmt need not be registered).
find_program(TARN_CROSS_QEMU_PROGRAM NAMES ${TARN_CROSS_QEMU})
if(TARN_CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARN_CROSS_QEMU_PROGRAM} -L /usr/${TARN_CROSS_TRIPLE})
endif()
