# Toolchain file for the routers: MIPS32 release 2, big-endian, tuned for
# the 24Kc, soft-float, dynamically linked against musl.
#
# Debian's mips-linux-gnu cross compiler serves, with musl built into
# MUSL_SYSROOT by tools/prepare-mips.sh. The compiler's own start files and
# libgcc are hard-float glibc objects, so nothing of its runtime is used:
# headers and start files come from musl alone, and the program links
# against musl's libc.so only.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(MUSL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-mips"
  CACHE PATH "musl built for the target")
get_filename_component(MUSL_SYSROOT "${MUSL_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${MUSL_SYSROOT}/lib/libc.so")
  message(FATAL_ERROR "no musl in ${MUSL_SYSROOT}: run tools/prepare-mips.sh")
endif()
# The compiler checks run in projects of their own: hand the sysroot on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MUSL_SYSROOT)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# The CPU flags and musl's headers and start files are part of every
# compile and link rule rather than of CMAKE_<LANG>_FLAGS, so that flags a
# build system passes for itself add to them instead of replacing them.
# The compiler builds position-independent executables by default, whose
# start file is Scrt1.o.
set(cpu "-march=mips32r2 -mtune=24kc -msoft-float")
set(lib "${MUSL_SYSROOT}/lib")
set(inc "-nostdinc -isystem ${MUSL_SYSROOT}/include")
set(CMAKE_C_COMPILE_OBJECT
  "<CMAKE_C_COMPILER> ${cpu} ${inc} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
set(CMAKE_CXX_COMPILE_OBJECT
  "<CMAKE_CXX_COMPILER> ${cpu} ${inc} -nostdinc++ <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE
    "<CMAKE_${lang}_COMPILER> ${cpu} <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> -nostdlib -L${lib} -Wl,-dynamic-linker,/lib/ld-musl-mips-sf.so.1 ${lib}/Scrt1.o ${lib}/crti.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -lc ${lib}/crtn.o")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${MUSL_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${MUSL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
