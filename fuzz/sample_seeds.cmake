# Makes the wire targets' seeds from the samples, so that none is kept by
# hand: for each sample, its request with the length field computed
# (fuzz_service_request/<kind>), and its reply behind a first byte that picks
# its method (fuzz_reply/<kind>_ok, <method>_ok for one that sends nothing), and the same with the code "0013"
# (fuzz_reply/bad_<kind>_error).
#   cmake -DSAMPLES=<file> -DOUT=<dir> -P sample_seeds.cmake

file(READ "${SAMPLES}" text)
string(REGEX MATCHALL "(^|\n)method [^\n]*" methods "${text}")
list(LENGTH methods count)
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}/fuzz_reply" "${OUT}/fuzz_service_request")
set(row -1)
while(NOT text STREQUAL "")
  string(FIND "${text}" "\n" end)
  if(end EQUAL -1)
    set(line "${text}")
    set(text "")
  else()
    string(SUBSTRING "${text}" 0 ${end} line)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${text}" ${end} -1 text)
  endif()
  if("${line}" MATCHES "^method (.*)")
    # The byte is the sample's place plus the count: the same method, and
    # never a NUL.
    math(EXPR row "${row} + 1")
    math(EXPR byte "${row} + ${count}")
    string(ASCII ${byte} first)
    set(method "${CMAKE_MATCH_1}")
    file(WRITE "${OUT}/fuzz_reply/${method}_ok" "${first}")
  elseif("${line}" MATCHES "^request ")
    string(SUBSTRING "${line}" 12 8 kind)
    string(SUBSTRING "${line}" 24 -1 body)
    file(REMOVE "${OUT}/fuzz_reply/${method}_ok")
    string(LENGTH "${body}" size)
    math(EXPR size "0x10000 + ${size}" OUTPUT_FORMAT HEXADECIMAL)
    string(TOUPPER "${size}" size)
    string(SUBSTRING "${size}" 3 4 size)
    file(WRITE "${OUT}/fuzz_service_request/${kind}" "${size}${kind}0000${body}")
  elseif("${line}" MATCHES "^reply ")
    string(SUBSTRING "${line}" 6 -1 reply)
    string(SUBSTRING "${reply}" 0 12 head)
    string(SUBSTRING "${reply}" 16 -1 body)
    file(WRITE "${OUT}/fuzz_reply/${kind}_ok" "${first}${reply}")
    file(WRITE "${OUT}/fuzz_reply/bad_${kind}_error" "${first}${head}0013${body}")
  endif()
endwhile()
