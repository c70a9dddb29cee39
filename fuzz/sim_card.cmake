# The virtual card: command APDUs (and the profile and hostile-rule JSON) from outside. The model
# is rebuilt with coverage instrumentation so that the fuzzer sees inside it.
if(TARGET qel_sim_card_model)
  get_target_property(qel_sim_card_fuzz_sources qel_sim_card_model SOURCES)
  list(TRANSFORM qel_sim_card_fuzz_sources PREPEND ${PROJECT_SOURCE_DIR}/sim/card/)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(qel_sim_card_fuzz STATIC ${qel_sim_card_fuzz_sources})
  target_include_directories(qel_sim_card_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qel_sim_card_fuzz PUBLIC qel_common_fuzz OpenSSL::Crypto PRIVATE nlohmann_json::nlohmann_json)
  target_compile_options(qel_sim_card_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})
  qel_add_fuzzer(fuzz_sim_card ${CMAKE_CURRENT_LIST_DIR}/sim_card/fuzz_sim_card.cpp qel_sim_card_fuzz)
endif()
