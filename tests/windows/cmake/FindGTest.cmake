# GoogleTest for the Windows cross-build. The host's prebuilt GoogleTest is a Linux library, so
# the target's is built from the sources Debian's googletest package ships, inside this build.
# Gives the targets GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main.
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")

if(NOT TARGET GTest::gtest AND EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(t gtest gtest_main gmock gmock_main)
        # Its warnings are not ours to fix.
        target_compile_options(${t} PRIVATE -w)
    endforeach()
endif()

include(FindPackageHandleStandardArgs)
if(TARGET GTest::gtest)
    set(GTEST_INCLUDE_DIRS ${GTEST_SOURCE_DIR}/googletest/include)
    set(GTEST_LIBRARIES GTest::gtest)
    set(GTEST_MAIN_LIBRARIES GTest::gtest_main)
endif()
find_package_handle_standard_args(GTest REQUIRED_VARS GTEST_LIBRARIES GTEST_INCLUDE_DIRS)
