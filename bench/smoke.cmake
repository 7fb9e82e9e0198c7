# Runs every table of the benchmark briefly (bodies and replies up to
# 64 KiB) and checks that it ends well with its summary line last, so
# that a request it makes that the service no longer takes fails here.
# Timings are never judged.
# Under AddressSanitizer the quarantine would keep the 4 MiB receive buffer
# of call after call, which an emulated 32-bit process runs out of room
# for; the benchmark frees each at once.
set(ENV{ASAN_OPTIONS} "quarantine_size_mb=0:$ENV{ASAN_OPTIONS}")
execute_process(COMMAND ${BENCH} --iterations 1 --memory-calls 200 --throughput-ms 20
                        --scaling-kib 64
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "qmx-bench ended with ${result}")
endif()
set(number "-?[0-9]+[.]?[0-9]*")
set(line "floor_us=${number} contract_floor_us=${number} default_us=${number} ratio_default=${number} ratio_contract=${number} syscalls_contract=${number} syscalls_default=${number} stats_default=${number} allocs_default=${number} cpu_contract_us=${number} cpu_default_us=${number} all_us=${number} lines_all=${number} line_in_cycle_us=${number} line_write_us=${number} ratio_line_in_cycle=${number} inprocess_us=${number} trace_line_us=${number} write_us=${number} ratio_trace_line=${number} service_read_ratio=${number} service_syscalls=${number} set_per_s=${number} service_rss64_kib=${number} split4m_ms=${number} rss_growth_kib=${number}")
if(NOT output MATCHES "(^|\n)${line}\n$")
  message(FATAL_ERROR "the summary line is missing or not last")
endif()
