# Runs the benchmark briefly and checks that it ends well with its summary
# line last. Timings are never judged.
execute_process(COMMAND ${BENCH} --summary --iterations 3 --memory-calls 200
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "qmx-bench ended with ${result}")
endif()
set(number "-?[0-9]+[.]?[0-9]*")
set(line "floor_us=${number} contract_floor_us=${number} default_us=${number} ratio_default=${number} ratio_contract=${number} all_us=${number} ratio_all=${number} inprocess_us=${number} trace_line_us=${number} write_us=${number} split4m_ms=${number} rss_growth_kib=${number}")
if(NOT output MATCHES "(^|\n)${line}\n$")
  message(FATAL_ERROR "the summary line is missing or not last")
endif()
