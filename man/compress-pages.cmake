# Run by CPack on its staging tree before it builds the package: Debian
# ships manual pages and longer documents compressed with gzip at its highest
# level, without the file name and time stamp (so the package is
# reproducible).
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER staged INCLUDE REGEX "(/share/man/man[1-9]/[^/]+\\.[1-9]|/share/doc/[^/]+/README\\.md)$")
if(NOT staged)
  message(FATAL_ERROR "nothing to compress under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(file IN LISTS staged)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
