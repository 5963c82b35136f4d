# Stand-in package for the Windows cross build: GoogleTest is built from
# source there (cmake/windows.cmake) and its targets already exist.
if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
  set(GTest_FOUND FALSE)
  set(GTest_NOT_FOUND_MESSAGE "GoogleTest targets were not created by cmake/windows.cmake")
endif()
