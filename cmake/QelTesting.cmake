# One test program per area, linked against the library it tests.
#   qel_add_test(NAME <name> LABEL unit|integration|gui SOURCES ... LIBS ... [ENV k=v ...] [TIMEOUT s]
#                [WRAPPER command ...])   # WRAPPER: runs the test through it (dbus-run-session --)
# FIXTURES testbed: the program runs beside a testbed of its own (scripts/testbed run), in its own
# namespaces where the machine allows it, with a fresh copy of the card profiles; paths under the
# build's testbed/ folder in ENV are rewritten to that testbed's run folder. Such programs run in
# parallel and never touch the machine's pcscd.
include_guard(GLOBAL)

# The run folder of a test program's own testbed, and `text` with the shared testbed folder replaced
# by it.
function(qel_testbed_paths out test text)
  set(shared ${CMAKE_BINARY_DIR}/testbed)
  set(own ${CMAKE_BINARY_DIR}/testbed-runs/${test})
  string(REPLACE "${shared}/" "${own}/" text "${text}")
  string(REGEX REPLACE "${shared}(;|$)" "${own}\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# For a test whose fixtures name "testbed": its command run beside a testbed of its own, its
# environment's paths pointed at that testbed's run folder, and the profiles' fixture instead.
macro(qel_beside_testbed test command_var env_var fixtures_var)
  if("testbed" IN_LIST ${fixtures_var})
    list(REMOVE_ITEM ${fixtures_var} testbed)
    list(APPEND ${fixtures_var} ${qel_testbed_fixtures})
    qel_testbed_paths(_qel_testbed_args ${test} "${qel_testbed_args}")
    qel_testbed_paths(${env_var} ${test} "${${env_var}}")
    set(${command_var} ${PROJECT_SOURCE_DIR}/scripts/testbed run ${_qel_testbed_args} -- ${${command_var}})
  endif()
endmacro()

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
  set(command ${T_WRAPPER} $<TARGET_FILE:${T_NAME}>)
  qel_beside_testbed(${T_NAME} command T_ENV T_FIXTURES)
  add_test(NAME ${T_NAME} COMMAND ${command})
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
