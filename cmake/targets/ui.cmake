# Controller, bridge, connect, monitor and profile source: their native tests start threads, so they also run under TSan
# (scripts/test runs the "threads" label there); the Windows bridge test needs a process
# to find by name.
if(VLM_TESTS AND NOT WIN32)
  # gtest_discover_tests leaves each executable's test names in <target>_TESTS when CTest reads
  # its list; this file, read after those lists, adds the label to every one of them.
  set(vlm_threads_labels "${CMAKE_BINARY_DIR}/threads_labels.cmake")
  file(WRITE "${vlm_threads_labels}" "")
  # The thread checker's build needs only these (scripts/test builds this target there).
  add_custom_target(threaded_tests)
  foreach(target controller_test bridge_test connect_test monitor_test owner_test profile_source_test)
    if(TARGET ${target})
      add_dependencies(threaded_tests ${target})
      file(APPEND "${vlm_threads_labels}"
           "foreach(t IN LISTS ${target}_TESTS)\n  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"native;threads\")\nendforeach()\n")
    endif()
  endforeach()
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY TEST_INCLUDE_FILES "${vlm_threads_labels}")
endif()

if(VLM_TESTS AND WIN32 AND TARGET bridge_test)
  # A do-nothing program that the test copies to "TslGame.exe" and starts.
  add_executable(idle_process "${CMAKE_SOURCE_DIR}/tests/windows/idle_process.cpp")
  target_link_options(idle_process PRIVATE -municode -mwindows)
  add_dependencies(bridge_test idle_process)
  # The idle benchmark's floor: Wine's cost of a window with a 1 s timer.
  add_executable(idle_window "${CMAKE_SOURCE_DIR}/tests/fixtures/idle_window.cpp")
  target_link_options(idle_window PRIVATE -municode -mwindows)
endif()

if(VLM_TESTS)
  # The tool's profile command, end to end (under Wine in the Windows build).
  add_test(NAME tool.profile COMMAND bash "${CMAKE_SOURCE_DIR}/tests/tool/profile_test.sh"
           "$<TARGET_FILE:velmorante-tool>" ${CMAKE_CROSSCOMPILING_EMULATOR})
  if(WIN32)
    set_tests_properties(tool.profile PROPERTIES TIMEOUT 120 LABELS windows)
  else()
    set_tests_properties(tool.profile PROPERTIES TIMEOUT 60 LABELS native)
  endif()
endif()
