# Included by tests/tools/CMakeLists.txt. The GDB server (packets over socket
# pairs against a fake target; real gdb-multiarch against the built programs)
# and the simulator's wire trace (sigrok cross-check), with their helpers.
file(GLOB GDB_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/gdb_*.cpp)
file(GLOB TRACE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/trace_*.cpp)

if(TARGET cm3tools_gdbserver)
  add_executable(gdb_tests ${GDB_TEST_SOURCES})
  target_link_libraries(gdb_tests PRIVATE cm3tools_gdbserver GTest::gtest_main)
  # Programs the end-to-end tests run.
  if(TARGET cm3probe-cli)
    target_compile_definitions(gdb_tests PRIVATE CM3PROBE_CLI="$<TARGET_FILE:cm3probe-cli>")
    add_dependencies(gdb_tests cm3probe-cli)
  endif()
  # CM3PROBE_EXAMPLE_FIRMWARE: the example ELF, when this tree builds it.
  if(TARGET cm3probe_example_firmware)
    target_link_libraries(gdb_tests PRIVATE cm3probe_example_firmware)
  endif()
  if(TARGET cm3probe_semihost_firmware)
    target_link_libraries(gdb_tests PRIVATE cm3probe_semihost_firmware)
  endif()
  gtest_discover_tests(gdb_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 240)
endif()

add_executable(trace_tests ${TRACE_TEST_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/gdb_process.cpp)
target_link_libraries(trace_tests PRIVATE GTest::gtest_main)
target_compile_definitions(trace_tests PRIVATE CM3PROBE_PROBE_REPORT="$<TARGET_FILE:probe-report>")
add_dependencies(trace_tests probe-report)
gtest_discover_tests(trace_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
