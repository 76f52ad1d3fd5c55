# Helpers of the foundation's Windows tests: a do-nothing window program and a console program.
if(VLM_TESTS AND WIN32 AND TARGET foundation_test)
  add_executable(console_child "${CMAKE_SOURCE_DIR}/tests/windows/console_child.cpp")
  add_dependencies(foundation_test console_child idle_process)
  # Symbolic links are made with the Linux ln.
  target_link_libraries(foundation_test PRIVATE wine_linux)
endif()
