# The update service's answers: the command-list decoder and the session that relays them, rebuilt
# with coverage instrumentation.
find_package(nlohmann_json 3 REQUIRED)
add_library(qel_update_session_fuzz STATIC ${QEL_UPDATE_DECODER_SOURCES} ${QEL_UPDATE_SESSION_SOURCES})
target_include_directories(qel_update_session_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qel_update_session_fuzz PUBLIC qel_card_fuzz qel_common_fuzz nlohmann_json::nlohmann_json)
target_compile_options(qel_update_session_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})

qel_add_fuzzer(fuzz_tmaj_session ${CMAKE_CURRENT_LIST_DIR}/update/fuzz_tmaj_session.cpp qel_update_session_fuzz)
