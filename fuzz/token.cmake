# Sigilla: token creation and the published objects over a card whose every answer is hostile.
if(TARGET qel_token AND TARGET qel_card_fuzz)
  get_target_property(qel_token_fuzz_sources qel_token SOURCES)
  list(TRANSFORM qel_token_fuzz_sources PREPEND ${PROJECT_SOURCE_DIR}/token/)
  add_library(qel_token_fuzz STATIC ${qel_token_fuzz_sources} ${PROJECT_SOURCE_DIR}/token/p11/objects.cpp
              ${PROJECT_SOURCE_DIR}/token/p11/mechanisms.cpp)
  target_include_directories(qel_token_fuzz PUBLIC ${PROJECT_SOURCE_DIR} ${P11KIT_INCLUDE_DIRS})
  target_link_libraries(qel_token_fuzz PUBLIC qel_card_fuzz OpenSSL::Crypto)
  target_compile_options(qel_token_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})
  qel_add_fuzzer(fuzz_sigilla_token ${CMAKE_CURRENT_LIST_DIR}/token/fuzz_sigilla_token.cpp qel_token_fuzz)
endif()
