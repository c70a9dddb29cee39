# Run by CPack between staging and packaging (CPACK_PRE_BUILD_SCRIPTS): Debian keeps manual pages
# gzipped (gzip -9n, no name or time stamp), so a page installed plain is compressed here.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "/share/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page ${files})
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip of ${page} failed")
  endif()
endforeach()
