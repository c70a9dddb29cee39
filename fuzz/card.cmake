# Card access core: the TLV codec, the scans of card answers and the cache reader.
# The library is rebuilt with coverage instrumentation so that the fuzzer sees inside it.
get_target_property(qel_card_fuzz_sources qel_card SOURCES)
list(TRANSFORM qel_card_fuzz_sources PREPEND ${PROJECT_SOURCE_DIR}/card/)
add_library(qel_card_fuzz STATIC ${qel_card_fuzz_sources})
target_include_directories(qel_card_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qel_card_fuzz PUBLIC qel_common_fuzz OpenSSL::Crypto)
target_compile_options(qel_card_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})

qel_add_fuzzer(fuzz_tlv ${CMAKE_CURRENT_LIST_DIR}/card/fuzz_tlv.cpp qel_card_fuzz)
qel_add_fuzzer(fuzz_card_responses ${CMAKE_CURRENT_LIST_DIR}/card/fuzz_card_responses.cpp qel_card_fuzz)
qel_add_fuzzer(fuzz_card_cache ${CMAKE_CURRENT_LIST_DIR}/card/fuzz_card_cache.cpp qel_card_fuzz)
qel_add_fuzzer(fuzz_pin_pad ${CMAKE_CURRENT_LIST_DIR}/card/fuzz_pin_pad.cpp qel_card_fuzz)
