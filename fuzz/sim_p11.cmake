# The stand-in issuer library: directories, card-info and serial files, PIN status and FCP answers,
# certificates, DigestInfo blocks and the trace configuration. Rebuilt with coverage instrumentation.
if(TARGET qelsim_p11_core)
  pkg_check_modules(QELSIM_P11KIT REQUIRED p11-kit-1)
  set(qelsim_p11_fuzz_sources apdu_card.cpp card_layout.cpp identity.cpp mechanisms.cpp pkcs15.cpp
                              tlv.cpp trace.cpp)
  list(TRANSFORM qelsim_p11_fuzz_sources PREPEND ${PROJECT_SOURCE_DIR}/sim/p11/)
  add_library(qelsim_p11_fuzz STATIC ${qelsim_p11_fuzz_sources})
  target_include_directories(qelsim_p11_fuzz PUBLIC ${PROJECT_SOURCE_DIR} ${QELSIM_P11KIT_INCLUDE_DIRS})
  # The certificate parser lives in the card core: its instrumented copy, when there is one.
  if(TARGET qel_card_fuzz)
    target_link_libraries(qelsim_p11_fuzz PUBLIC qel_card_fuzz qel_common_fuzz OpenSSL::Crypto)
  else()
    target_link_libraries(qelsim_p11_fuzz PUBLIC qel_card qel_common_fuzz OpenSSL::Crypto)
  endif()
  target_compile_options(qelsim_p11_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})
  qel_add_fuzzer(fuzz_sim_p11 ${CMAKE_CURRENT_LIST_DIR}/sim_p11/fuzz_sim_p11.cpp qelsim_p11_fuzz)
endif()
