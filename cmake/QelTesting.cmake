# One test program per area, linked against the library it tests.
#   qel_add_test(NAME <name> LABEL unit|integration|gui SOURCES ... LIBS ... [ENV k=v ...] [TIMEOUT s]
#                [WRAPPER command ...])   # WRAPPER: runs the test through it (dbus-run-session --)
include_guard(GLOBAL)

function(qel_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENV;FIXTURES;WRAPPER" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  # Each test program runs with its own private home so that logs, caches and settings never
  # touch the developer's own folders.
  set(home ${CMAKE_BINARY_DIR}/test-home/${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_WRAPPER} $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS ${T_LABEL}
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "HOME=${home};XDG_STATE_HOME=${home}/state;XDG_CACHE_HOME=${home}/cache;XDG_CONFIG_HOME=${home}/config;QEL_SOURCE_DIR=${PROJECT_SOURCE_DIR};QEL_BINARY_DIR=${CMAKE_BINARY_DIR};${T_ENV}")
  if(T_FIXTURES)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
endfunction()

# A libFuzzer target; scripts/test runs each for a bounded time over its seed corpus.
function(qel_add_fuzzer NAME SOURCE)
  add_executable(${NAME} ${SOURCE})
  target_link_libraries(${NAME} PRIVATE ${ARGN})
  target_compile_options(${NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${NAME} PRIVATE -fsanitize=fuzzer)
endfunction()
