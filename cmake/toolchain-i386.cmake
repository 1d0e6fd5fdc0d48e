# 32-bit x86 build with the host's multilib compiler (gcc -m32).
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(nivex_m32_flags "-m32")
# Debian's multilib compiler finds the kernel's <asm/...> headers through /usr/include/asm,
# which only the gcc-multilib package provides (and that package cannot be installed beside
# the ARM cross compiler). The x86 headers serve both word sizes; point a private folder at
# them when /usr/include/asm is missing.
if(NOT EXISTS /usr/include/asm AND EXISTS /usr/include/x86_64-linux-gnu/asm)
  set(nivex_m32_asm ${CMAKE_BINARY_DIR}/m32-include)
  if(NOT EXISTS ${nivex_m32_asm}/asm)
    file(MAKE_DIRECTORY ${nivex_m32_asm})
    file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${nivex_m32_asm}/asm SYMBOLIC)
  endif()
  string(APPEND nivex_m32_flags " -isystem ${nivex_m32_asm}")
endif()
set(CMAKE_C_FLAGS_INIT "${nivex_m32_flags}")
set(CMAKE_CXX_FLAGS_INIT "${nivex_m32_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# A kernel without 32-bit support (ia32 emulation off) cannot start the programs of this
# build; they then run under qemu-user, like the ARM build's.
if(NOT DEFINED NIVEX_I386_NATIVE)
  set(probe ${CMAKE_BINARY_DIR}/m32-probe)
  file(WRITE ${probe}.c "int main(void) { return 0; }\n")
  execute_process(COMMAND gcc -m32 ${probe}.c -o ${probe} RESULT_VARIABLE built
                  OUTPUT_QUIET ERROR_QUIET)
  set(native OFF)
  if(built EQUAL 0)
    execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
    if(ran EQUAL 0)
      set(native ON)
    endif()
  endif()
  set(NIVEX_I386_NATIVE ${native} CACHE BOOL "The kernel runs 32-bit x86 programs")
endif()
if(NOT NIVEX_I386_NATIVE)
  find_program(NIVEX_QEMU_I386 qemu-i386)
  if(NIVEX_QEMU_I386)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NIVEX_QEMU_I386})
  endif()
endif()

# Libraries and packages of the 32-bit system only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu /usr/lib32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
