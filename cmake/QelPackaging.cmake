# Debian packages, one per component, built by scripts/package (cpack in a Release build folder):
#   kartello  the application, its desktop entry and icon, the authority certificates' folder
#             (and the support command line `qel`: install(TARGETS qel ... COMPONENT kartello) and
#             its manual page, install(FILES qel.1 ... COMPONENT kartello) or qel_install_man_page)
#   sigilla   the PKCS#11 module in the multiarch PKCS#11 folder, its p11-kit registration,
#             sigilla-register and sigilla-cache
#   vigilo    the agent and the launcher Lanzo
# Dependencies come from the shared libraries the programs link (dpkg-shlibdeps). No maintainer
# scripts: dpkg's own triggers refresh the icon cache and the desktop database, and p11-kit reads
# its module folder at every start, so removing the package's files removes the registration.
set(QEL_PACKAGE_MAINTAINER "Oberlane QEL support <qel-support@oberlane.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(QEL_PACKAGE_COMPONENTS kartello sigilla vigilo)

# A manual page of section 1, gzipped as Debian keeps them, in the package of COMPONENT:
#   qel_install_man_page(qel.1 COMPONENT kartello)
function(qel_install_man_page page)
  cmake_parse_arguments(M "" "COMPONENT" "" ${ARGN})
  get_filename_component(name ${page} NAME)
  set(out ${CMAKE_BINARY_DIR}/packaging/man/${name})
  configure_file(${page} ${out} @ONLY)
  execute_process(COMMAND gzip -9nf ${out} RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip of ${out} failed")
  endif()
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${M_COMPONENT})
endfunction()

# Each package carries its copyright file and its changelog, as Debian requires.
foreach(component ${QEL_PACKAGE_COMPONENTS})
  set(QEL_DEB_PACKAGE ${component})
  set(doc ${CMAKE_BINARY_DIR}/packaging/${component})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${doc}/changelog @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright ${doc}/copyright @ONLY)
  # gzip -n: no name or time stamp in the archive, so that rebuilding gives the same package.
  execute_process(COMMAND gzip -9nf ${doc}/changelog RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip of ${doc}/changelog failed")
  endif()
  install(FILES ${doc}/copyright ${doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${component}
          COMPONENT ${component})
endforeach()

foreach(page kartello:kartello vigilo:vigilo lanzo:vigilo sigilla-register:sigilla sigilla-cache:sigilla)
  string(REPLACE ":" ";" page ${page})
  list(GET page 0 program)
  list(GET page 1 component)
  qel_install_man_page(${PROJECT_SOURCE_DIR}/packaging/man/${program}.1 COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kartello-suite)
set(CPACK_PACKAGE_VENDOR Oberlane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL ${QEL_PACKAGE_COMPONENTS})
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The install rules write absolute paths (the module's registration names the module's final
# place): stage under DESTDIR with the final prefix rather than under a staging prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/QelPackageManPages.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QEL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_KARTELLO_PACKAGE_NAME kartello)
# The services report and the log marks are emoji; Qt's own dialogs speak French with its catalogue.
set(CPACK_DEBIAN_KARTELLO_PACKAGE_DEPENDS "fonts-noto-color-emoji, qt6-translations-l10n")
set(CPACK_DEBIAN_KARTELLO_PACKAGE_RECOMMENDS "sigilla, vigilo, pcscd")
set(CPACK_COMPONENT_KARTELLO_DESCRIPTION "QEL health-professional card management
Kartello shows what a QEL card holds (holder identity, practice and billing
situations, certificates), changes the PIN, unblocks the card with the PUK,
brings the card up to date from the issuer's update service, answers sign-in
requests, checks the certificates against the revocation lists, installs the
issuer's trust chain in the user's NSS database and runs maintenance tasks.
It loads the card issuer's PKCS#11 library, which is supplied separately.")

set(CPACK_DEBIAN_SIGILLA_PACKAGE_NAME sigilla)
set(CPACK_DEBIAN_SIGILLA_PACKAGE_RECOMMENDS "pcscd, p11-kit")
set(CPACK_COMPONENT_SIGILLA_DESCRIPTION "QEL card PKCS#11 module, registered with p11-kit
Sigilla publishes the certificates and private keys of an inserted QEL card to
every PKCS#11-aware application (browsers, OpenSSL, GnuTLS, ssh, curl) and
signs and deciphers with the card, asking for the PIN when the card requires
it. sigilla-register adds the module to the user's NSS databases (Chromium and
Firefox profiles); sigilla-cache clears the module's card file cache.")

set(CPACK_DEBIAN_VIGILO_PACKAGE_NAME vigilo)
set(CPACK_DEBIAN_VIGILO_PACKAGE_RECOMMENDS "kartello")
set(CPACK_COMPONENT_VIGILO_DESCRIPTION "QEL card update agent for the desktop session
Vigilo watches card insertions from the tray and tells the user, by a desktop
notification that opens Kartello, when an update waits for the inserted QEL
card. Lanzo, its login launcher, starts it when the user logs in; Vigilo
registers Lanzo as the user's autostart entry.")

include(CPack)

# What the packages hold, so that scripts/package builds these and nothing else (no tests, no
# testbed). Called once every folder is added: `qel` joins Kartello's package once it exists.
function(qel_add_packaged_programs)
  add_custom_target(packaged-programs)
  foreach(program kartello qel sigilla-pkcs11 sigilla-register sigilla-cache vigilo lanzo)
    if(TARGET ${program})
      add_dependencies(packaged-programs ${program})
    endif()
  endforeach()
endfunction()
