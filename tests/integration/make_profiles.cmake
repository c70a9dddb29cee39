# Makes a fresh set of virtual card profiles for the testbed (full PIN counters, nothing written):
#   cmake -DPROFILE_TOOL=path/to/qelcard-profile -DOUT=folder -P make_profiles.cmake
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 ${PROFILE_TOOL} defaults --out ${OUT}
  RESULT_VARIABLE rc
  OUTPUT_FILE ${OUT}.log
  ERROR_FILE ${OUT}.log)
if(NOT rc EQUAL 0)
  file(READ ${OUT}.log log)
  message(FATAL_ERROR "qelcard-profile failed (${rc}):\n${log}")
endif()
