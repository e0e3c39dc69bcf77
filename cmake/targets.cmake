# SPDX-License-Identifier: ISC
# target_facts(ARCH VAR): the facts of one router target, as tools/facts.sh
# reads them from targets.txt beside this file, in VAR_packages,
# VAR_triplet, ... VAR_fpabi (flags and commands as lists); or fails,
# naming the architectures known.
set(targets_dir "${CMAKE_CURRENT_LIST_DIR}")

function(target_facts arch var)
  execute_process(COMMAND sh "${targets_dir}/../tools/facts.sh" "${arch}"
    OUTPUT_VARIABLE facts ERROR_VARIABLE why RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${why}")
  endif()
  string(REGEX MATCHALL "[a-z]+='[^\n]*'" facts "${facts}")
  foreach(fact IN LISTS facts)
    string(REGEX MATCH "^([a-z]+)='(.*)'$" fact "${fact}")
    set(field "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(NOT field MATCHES "^(elf|fpabi)$")
      separate_arguments(value UNIX_COMMAND "${value}")
    endif()
    set(${var}_${field} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()
