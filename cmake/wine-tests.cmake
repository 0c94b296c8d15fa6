# Test programs run under Wine through tools/wine-run, in a prefix of the tests' own (not the
# one ./tarvo uses); the 32-bit tree runs them under the emulated 32-bit Wine. GoogleTest is
# built from Debian's sources with the same cross toolchain.
# The plug-in's own tests of the 32-bit tree run once per Windows version the release
# addresses, each in a prefix that reports that version (TSH_WINVER, Wine's names). Every
# prefix is listed, with its environment, in wine-prefixes for the test runner to start.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/wine-run)
set(TSH_TEST_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/tests-wineprefix")
set(TSH_PLUGIN_WINDOWS "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND TSH_TEST_ENVIRONMENT "WINEARCH=win32")
  set(TSH_PLUGIN_WINDOWS win98 winxp)
endif()
# tsh_test_environment(VARIABLE WINDOWS): the environment of a prefix reporting WINDOWS (empty:
# Wine's default).
function(tsh_test_environment variable windows)
  set(env "${TSH_TEST_ENVIRONMENT}")
  if(windows)
    list(TRANSFORM env REPLACE "^WINEPREFIX=.*" "WINEPREFIX=${CMAKE_BINARY_DIR}/tests-wineprefix-${windows}")
    list(APPEND env "TSH_WINVER=${windows}")
  endif()
  set(${variable} "${env}" PARENT_SCOPE)
endfunction()
set(prefixes "")
foreach(windows "" ${TSH_PLUGIN_WINDOWS})
  tsh_test_environment(env "${windows}")
  list(JOIN env " " line)
  string(APPEND prefixes "${line}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/wine-prefixes "${prefixes}")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
target_compile_options(gtest PUBLIC "SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/gtest-win32.h")
add_library(tsh_test_main STATIC ${CMAKE_SOURCE_DIR}/tests/test_main.cpp)
target_link_libraries(tsh_test_main PUBLIC GTest::gtest)

# tsh_add_wine_test(TEST PROGRAM WINDOWS): a ctest entry running the GoogleTest PROGRAM in the
# prefix of WINDOWS. Its exit status decides, on both trees: a program that crashes on its way
# out after its last case fails (the test runner lists each such run, and fails a program
# whose exit crash repeats).
function(tsh_add_wine_test test program windows)
  tsh_test_environment(env "${windows}")
  add_test(NAME ${test} COMMAND ${program})
  set_tests_properties(${test} PROPERTIES TIMEOUT 300 ENVIRONMENT "${env}")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # A program that stalls its prefix ends it within the test's time, so that the test's
    # next run finds a prefix that works (see tools/wine-run).
    set_tests_properties(${test} PROPERTIES ENVIRONMENT "${env};TSH_RUN_LIMIT=200")
  endif()
endfunction()

# tsh_add_unit_test(NAME [PLUGIN] SOURCES... LIBS ...): one test program and its ctest entry;
# a PLUGIN one gets an entry per Windows version of TSH_PLUGIN_WINDOWS (NAME.win98, ...) instead.
function(tsh_add_unit_test name)
  cmake_parse_arguments(T "PLUGIN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE tsh_test_main ${T_LIBS})
  if(T_PLUGIN AND TSH_PLUGIN_WINDOWS)
    foreach(windows ${TSH_PLUGIN_WINDOWS})
      tsh_add_wine_test(${name}.${windows} ${name} ${windows})
    endforeach()
  else()
    tsh_add_wine_test(${name} ${name} "")
  endif()
endfunction()
