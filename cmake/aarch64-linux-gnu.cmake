# Cross-compiles for 64-bit ARM Linux with Debian's cross toolchain
# (packages g++-aarch64-linux-gnu, and qemu-user to run the results):
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# tools/test-aarch64 builds and runs the C++ tests this way.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QUORL_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUORL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORL_CROSS_TRIPLE}-g++)

# Libraries and headers come from the target's tree (and from any prefix
# the caller adds to CMAKE_FIND_ROOT_PATH, such as a cross-built GoogleTest);
# programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${QUORL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CMake run target programs (gtest_discover_tests lists the tests at
# build time); -L finds the target's loader for dynamically linked ones.
find_program(QUORL_QEMU_AARCH64 qemu-aarch64)
if(QUORL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORL_QEMU_AARCH64} -L /usr/${QUORL_CROSS_TRIPLE})
endif()
