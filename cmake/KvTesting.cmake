# kv_add_test(NAME SOURCES a.cpp b.cpp LIBS kv_image ...): one GoogleTest executable, its tests
# registered with CTest one by one.
include(GoogleTest)
function(kv_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kv_test_support GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
