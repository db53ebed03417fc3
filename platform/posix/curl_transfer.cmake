# The HTTP transfer on libcurl's multi interface, its tests against the loopback server in
# tests/servers, and its round-trip benchmark.
target_sources(cw_posix PRIVATE ${CMAKE_CURRENT_LIST_DIR}/curl_transfer.cc)

if(CW_BUILD_TESTS)
  add_executable(curl_transfer_test ${CMAKE_CURRENT_LIST_DIR}/curl_transfer_test.cc)
  target_link_libraries(curl_transfer_test PRIVATE cw_posix GTest::gtest_main)
  target_compile_definitions(curl_transfer_test PRIVATE
    CW_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    CW_PYTHON="${Python3_EXECUTABLE}")
  gtest_discover_tests(curl_transfer_test
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 LABELS "network")
endif()

if(CW_BUILD_BENCH)
  if(NOT Python3_EXECUTABLE)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
  endif()
  add_executable(transfer_bench ${CMAKE_SOURCE_DIR}/bench/transfer_bench.cc)
  target_link_libraries(transfer_bench PRIVATE cw_posix benchmark::benchmark)
  target_compile_definitions(transfer_bench PRIVATE
    CW_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    CW_PYTHON="${Python3_EXECUTABLE}")
endif()
