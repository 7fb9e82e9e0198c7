# Runs one fuzz target on a fresh copy of its seeds, so that what the run
# adds stays out of the source tree, for $QMX_FUZZ_SECONDS seconds (default
# 30). A finding fails the test and leaves its input in WORK_DIR/findings.
#   cmake -DFUZZER=<binary> -DWORK_DIR=<dir> -DMAX_LEN=<bytes>
#         -DEXTRA_SEEDS=<file or dir/>|<file or dir/>... -P run_smoke.cmake

set(seconds 30)
if(NOT "$ENV{QMX_FUZZ_SECONDS}" STREQUAL "")
  set(seconds "$ENV{QMX_FUZZ_SECONDS}")
endif()
if(NOT seconds MATCHES "^[0-9]+$" OR seconds EQUAL 0)
  message(FATAL_ERROR
    "QMX_FUZZ_SECONDS must be a whole number of seconds above 0, not '${seconds}'")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/findings")
string(REPLACE "|" ";" extra_seeds "${EXTRA_SEEDS}")
foreach(seed IN LISTS extra_seeds)
  file(COPY "${seed}" DESTINATION "${WORK_DIR}/corpus")
endforeach()

# libFuzzer stops itself after max_total_time; the margin only catches a run
# that cannot stop (a hang in one input is caught sooner by -timeout).
math(EXPR limit "${seconds} + 120")
execute_process(
  COMMAND "${FUZZER}" -max_len=${MAX_LEN} -max_total_time=${seconds}
          -timeout=30 -print_final_stats=1
          "-artifact_prefix=${WORK_DIR}/findings/" "${WORK_DIR}/corpus"
  RESULT_VARIABLE result
  TIMEOUT ${limit})
if(NOT result STREQUAL "0")
  message(FATAL_ERROR
    "${FUZZER} failed (${result}); its input is in ${WORK_DIR}/findings")
endif()
