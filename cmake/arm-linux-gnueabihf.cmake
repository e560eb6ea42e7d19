# 32-bit ARM Linux (hard float) with Debian's cross compiler; CTest runs the
# ARM programs through qemu-arm.
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MOXTIL_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${MOXTIL_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MOXTIL_ARM_TRIPLE}-g++)

# The cross libc, and Debian's multiarch packages of the target (nettle-dev:armhf:
# /usr/lib/arm-linux-gnueabihf/libnettle.a, the headers in /usr/include).
set(CMAKE_FIND_ROOT_PATH /usr/${MOXTIL_ARM_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static, so that the binary runs on a device without our libraries (and
# under qemu without a sysroot).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${MOXTIL_ARM_TRIPLE})
