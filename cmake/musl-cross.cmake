# SPDX-License-Identifier: ISC
# Toolchain file for the routers: the musl compiler pair that
# tools/prepare-target.sh ARCH puts in build/sysroot-ARCH/bin. The pair
# brings the CPU flags, musl and the compiler runtime: none is set here.
set(TARGET_ARCH mips_24kc CACHE STRING "Router package architecture (cmake/targets.txt)")
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
target_facts(${TARGET_ARCH} target)

set(TARGET_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-${TARGET_ARCH}"
  CACHE PATH "Sysroot made by tools/prepare-target.sh")
get_filename_component(TARGET_SYSROOT "${TARGET_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${TARGET_SYSROOT}/bin/${target_prefix}-gcc")
  message(FATAL_ERROR "no compiler pair in ${TARGET_SYSROOT}: run tools/prepare-target.sh ${TARGET_ARCH}")
endif()
# The compiler checks run in projects of their own: hand the choice on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARGET_ARCH TARGET_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${target_processor})
set(CMAKE_C_COMPILER ${TARGET_SYSROOT}/bin/${target_prefix}-gcc)
set(CMAKE_CXX_COMPILER ${TARGET_SYSROOT}/bin/${target_prefix}-g++)

# Target programs run under qemu on the exact CPU or, where this machine
# runs the target's code, through musl's libc.so, its dynamic linker.
if(target_qemu STREQUAL "-")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARGET_SYSROOT}/lib/libc.so)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${target_qemu} -L ${TARGET_SYSROOT})
endif()

set(CMAKE_FIND_ROOT_PATH ${TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
