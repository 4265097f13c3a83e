# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu;
# programs built for tests run under qemu-user with the cross toolchain's
# libraries (scripts/test-aarch64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELMORA_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VELMORA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELMORA_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VELMORA_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(VELMORA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU_AARCH64} -L /usr/${VELMORA_CROSS_TRIPLE})
endif()
