# sigilla-register: the profile lists and module lists it reads from the user's folders.
if(TARGET qel_browser_registration)
  pkg_check_modules(NSS REQUIRED IMPORTED_TARGET nss)
  file(RELATIVE_PATH fuzz_sigilla_module_from_bindir ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_LIBDIR}/pkcs11/libsigilla-pkcs11.so)
  add_library(qel_browser_registration_fuzz STATIC ${PROJECT_SOURCE_DIR}/token/browser_registration.cpp)
  target_include_directories(qel_browser_registration_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qel_browser_registration_fuzz PUBLIC qel_common_fuzz PRIVATE PkgConfig::NSS)
  target_compile_definitions(qel_browser_registration_fuzz PRIVATE
    SIGILLA_MODULE_FROM_BINDIR="${fuzz_sigilla_module_from_bindir}"
    SIGILLA_MODULE_CONFIGURED="${CMAKE_INSTALL_FULL_LIBDIR}/pkcs11/libsigilla-pkcs11.so")
  target_compile_options(qel_browser_registration_fuzz PRIVATE ${QEL_FUZZ_LIBRARY_OPTIONS})
  qel_add_fuzzer(fuzz_profiles_ini ${CMAKE_CURRENT_LIST_DIR}/registration/fuzz_profiles_ini.cpp
                 qel_browser_registration_fuzz)
endif()
