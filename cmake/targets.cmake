# SPDX-License-Identifier: ISC
# Reads the facts of one router target from targets.txt beside this file:
#
#   target_facts(ARCH VAR)
#
# sets VAR_packages, VAR_triplet, VAR_prefix, VAR_processor, VAR_cpu,
# VAR_link, VAR_loader, VAR_qemu, VAR_runtime, VAR_elf and VAR_fpabi (the
# flags and commands as lists), or fails naming the architectures known.
set(targets_txt "${CMAKE_CURRENT_LIST_DIR}/targets.txt")

function(target_facts arch var)
  set(fields packages triplet prefix processor cpu link loader qemu runtime elf fpabi)
  file(STRINGS "${targets_txt}" lines REGEX "^[^#]")
  set(known "")
  foreach(line IN LISTS lines)
    string(REPLACE "|" ";" cols "${line}")
    list(GET cols 0 name)
    string(STRIP "${name}" name)
    list(APPEND known ${name})
    if(NOT name STREQUAL arch)
      continue()
    endif()
    foreach(field IN LISTS fields)
      list(REMOVE_AT cols 0)
      list(GET cols 0 value)
      string(STRIP "${value}" value)
      if(NOT field STREQUAL "fpabi" AND NOT field STREQUAL "elf")
        separate_arguments(value UNIX_COMMAND "${value}")
      endif()
      set(${var}_${field} "${value}" PARENT_SCOPE)
    endforeach()
    return()
  endforeach()
  message(FATAL_ERROR "unknown target architecture '${arch}'; known: ${known}")
endfunction()

# The command that runs a program of the target on this machine, given the
# target's qemu-user command and its sysroot: qemu on the exact CPU, or,
# where the host runs the target's code, musl's libc.so, which is also its
# dynamic linker.
function(target_runner var qemu sysroot)
  if(qemu STREQUAL "-")
    set(${var} ${sysroot}/lib/libc.so PARENT_SCOPE)
  else()
    set(${var} ${qemu} -L ${sysroot} PARENT_SCOPE)
  endif()
endfunction()
