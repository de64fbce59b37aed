# kv_add_test(NAME SOURCES a.cpp b.cpp LIBS kv_image ...): one GoogleTest executable, its tests
# registered with CTest one by one. A cross build registers each executable as one test instead: every
# test would otherwise start its own emulator (wine takes about half a second to start).
include(GoogleTest)
function(kv_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kv_test_support GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
