# Holder and situation decoding: the TLV parser, the field decoders and the record decoders over
# arbitrary data-object values. The decoders are rebuilt with coverage instrumentation.
add_library(qel_issuerlib_decoders_fuzz STATIC ${QEL_PKCS11_DECODER_SOURCES})
target_include_directories(qel_issuerlib_decoders_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qel_issuerlib_decoders_fuzz PUBLIC qel_common_fuzz)
target_compile_options(qel_issuerlib_decoders_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})

qel_add_fuzzer(fuzz_holder ${CMAKE_CURRENT_LIST_DIR}/issuerlib/fuzz_holder.cpp qel_issuerlib_decoders_fuzz)
