# 32-bit ARM (hard-float) cross build with Debian's arm-linux-gnueabihf compiler; programs of
# the build (tests, gtest's test listing) run under qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(NIVEX_ARMHF_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${NIVEX_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(NIVEX_QEMU_ARM qemu-arm)
if(NIVEX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NIVEX_QEMU_ARM} -L ${NIVEX_ARMHF_SYSROOT})
endif()
