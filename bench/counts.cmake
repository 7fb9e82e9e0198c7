# Holds a call's system calls, stat calls and allocations to the figures
# README.md gives on its line
# "held by bench_counts:". Counts do not move with the machine's load; a
# change that adds a system call or an allocation fails here, and one that
# saves some asks for the README to say so. Allocations are not counted
# under AddressSanitizer (-1), and are then left out.
set(ENV{ASAN_OPTIONS} "quarantine_size_mb=0:$ENV{ASAN_OPTIONS}")
execute_process(COMMAND ${BENCH} --counts
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "qmx-bench --counts ended with ${result}\n${output}${errors}")
endif()
file(STRINGS ${README} held REGEX "held by bench_counts:")
if(NOT held)
  message(FATAL_ERROR "README.md has no line \"held by bench_counts:\"")
endif()
foreach(figure syscalls_default stats_default allocs_default)
  string(REGEX MATCH "${figure}=(-?[0-9]+)" found "${output}")
  set(measured ${CMAKE_MATCH_1})
  string(REGEX MATCH "${figure}=([0-9]+)" found "${held}")
  set(given ${CMAKE_MATCH_1})
  if(measured STREQUAL "" OR given STREQUAL "")
    message(FATAL_ERROR "${figure}: measured '${measured}', README '${given}'\n${output}")
  endif()
  if(measured EQUAL -1)
    continue()
  endif()
  if(NOT measured EQUAL given)
    message(SEND_ERROR "${figure}: ${measured} where README.md gives ${given}")
  endif()
endforeach()
message("${output}")
