# Kartello's revocation check: a downloaded list against a fixed issuing authority, and the
# certificate fields the check reads.
qel_add_fuzzer(fuzz_crl ${CMAKE_CURRENT_LIST_DIR}/crl/fuzz_crl.cpp qel_common_fuzz OpenSSL::Crypto)
target_sources(fuzz_crl PRIVATE ${PROJECT_SOURCE_DIR}/management/revocation/crl_lookup.cpp)
target_include_directories(fuzz_crl PRIVATE ${PROJECT_SOURCE_DIR})
