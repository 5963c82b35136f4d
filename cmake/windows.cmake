# Settings of the Windows cross build.  The toolchain file (mingw-w64.cmake)
# names this file as the project's include, so it runs right after
# project(): before the project's own warning options (GoogleTest is not
# built with -Werror) and before any target is defined.
#
# - Everything is linked statically (the C and C++ runtimes and winpthreads
#   included), so the executables import system libraries only.
# - The switch section survives --gc-sections (cmake/gswitch-keep.ld).
# - GoogleTest is built from its sources with the same compiler and exposed
#   as the GTest::gtest / GTest::gtest_main targets that tests/ asks for.
# - Tests are listed and run under wine (CMAKE_CROSSCOMPILING_EMULATOR); they
#   are listed when CTest runs, so building needs no wine.
add_link_options(-static -static-libgcc -static-libstdc++)
# The switch section, kept whole even by a link that collects unreferenced
# sections (cmake/gswitch-keep.ld).
add_link_options(-Wl,-T,${CMAKE_CURRENT_LIST_DIR}/gswitch-keep.ld)
link_libraries(psapi advapi32 ws2_32)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh CACHE FILEPATH "Runs a Windows program" FORCE)
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# This file runs at project(), before the top-level option() gives
# SYMKEEP_TESTS its default of ON on a first configure.
if(NOT DEFINED SYMKEEP_TESTS OR SYMKEEP_TESTS)
  set(SYMKEEP_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${SYMKEEP_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # The tests use matchers too: the system package's GTest::gtest carries
  # the gmock headers, so this one does as well.
  add_library(symkeep_gtest INTERFACE)
  target_link_libraries(symkeep_gtest INTERFACE gmock gtest)
  add_library(GTest::gtest ALIAS symkeep_gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
  # find_package(GTest) then finds this package, which only confirms that
  # the targets exist.
  set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/gtest-package CACHE PATH "" FORCE)

  # The tests are written against POSIX; cmake/posix-compat supplies the few
  # headers and calls they use that Windows lacks.  Test code only: the
  # product never sees it.
  set(SYMKEEP_WIN_TEST_COMPAT ${CMAKE_CURRENT_LIST_DIR}/posix-compat)
endif()

# At the end of the configuration, when the test targets exist: the POSIX
# compatibility headers for every target defined under tests/.
function(symkeep_windows_test_settings)
  if(DEFINED SYMKEEP_TESTS AND NOT SYMKEEP_TESTS)
    return()
  endif()
  set(dirs ${CMAKE_SOURCE_DIR}/tests)
  set(targets)
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(sub DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${sub})
    get_property(here DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    list(APPEND targets ${here})
  endwhile()
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "STATIC_LIBRARY")
      target_include_directories(${t} BEFORE PRIVATE ${SYMKEEP_WIN_TEST_COMPAT})
      target_compile_options(${t} PRIVATE -include ${SYMKEEP_WIN_TEST_COMPAT}/posix_compat.h)
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL symkeep_windows_test_settings)
