# The authentication service's bodies (JSON) and its settings file (property list), with the parsers
# rebuilt with coverage instrumentation.
pkg_check_modules(QEL_FUZZ_PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
find_package(nlohmann_json 3 REQUIRED)
add_library(qel_authservice_parsers_fuzz STATIC ${QEL_AUTHSERVICE_PARSER_SOURCES})
target_include_directories(qel_authservice_parsers_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qel_authservice_parsers_fuzz PUBLIC qel_common_fuzz nlohmann_json::nlohmann_json
                      PkgConfig::QEL_FUZZ_PLIST)
target_compile_options(qel_authservice_parsers_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})

qel_add_fuzzer(fuzz_vek_models ${CMAKE_CURRENT_LIST_DIR}/authservice/fuzz_vek_models.cpp qel_authservice_parsers_fuzz)
qel_add_fuzzer(fuzz_vek_settings ${CMAKE_CURRENT_LIST_DIR}/authservice/fuzz_vek_settings.cpp
               qel_authservice_parsers_fuzz)
