# Test programs run under Wine through tools/wine-run, in a prefix of the tests' own (not the
# one ./tarvo uses); the 32-bit tree runs them under the emulated 32-bit Wine. GoogleTest is
# built from Debian's sources with the same cross toolchain.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/wine-run)
set(TSH_TEST_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/tests-wineprefix")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND TSH_TEST_ENVIRONMENT "WINEARCH=win32")
endif()
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
target_compile_options(gtest PUBLIC "SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/gtest-win32.h")

# tsh_add_unit_test(NAME SOURCES... LIBS ...): one test program, one ctest entry.
function(tsh_add_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 ENVIRONMENT "${TSH_TEST_ENVIRONMENT}")
endfunction()
