# The conflict tests' fixtures: a do-nothing Windows service, installed under WireGuard tunnel
# names and another name by tests/system/conflicts_cases.py (scripts/test.d/41-conflicts).
if(WIN32 AND VLM_TESTS)
  add_executable(test_service "${CMAKE_SOURCE_DIR}/tests/fixtures/test_service.cpp")
  target_link_options(test_service PRIVATE -municode)
  target_link_libraries(test_service PRIVATE advapi32)
endif()
if(WIN32 AND VLM_TESTS AND TARGET conflicts_test)
  add_dependencies(conflicts_test idle_process)
endif()
