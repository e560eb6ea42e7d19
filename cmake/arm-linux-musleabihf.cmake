# 32-bit ARM phones and boards: one static binary on musl for armv7-a with
# VFPv3-D16 and no NEON (every armeabi-v7a phone has that much), built by
# Zig's clang through cmake/zig-arm; musl keeps to the system calls that an
# Android app's sandbox allows. nettle is built from its pinned source for
# the same target (cmake/nettle.cmake); scripts/setup.sh installs both.
# CTest runs the ARM programs through qemu-arm.
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-musleabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-arm-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-arm-c++)
# Binutils for the archives and stripping (Zig's objcopy strips badly).
find_program(CMAKE_AR arm-linux-gnueabihf-ar REQUIRED)
find_program(CMAKE_RANLIB arm-linux-gnueabihf-ranlib REQUIRED)
find_program(CMAKE_STRIP arm-linux-gnueabihf-strip REQUIRED)
find_program(CMAKE_NM arm-linux-gnueabihf-nm REQUIRED)

# Nothing of the build machine's libraries or headers: glibc's would not link.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_BINARY_DIR}/nettle/install)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(MOXTIL_NETTLE_FROM_SOURCE ON)
# Its Debian package: the static binary runs on any 32-bit ARM hard-float system.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
