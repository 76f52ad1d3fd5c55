# velmorante-tool checked as its users call it, in both builds (the Windows one under Wine).
if(VLM_TESTS)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  if(WIN32)
    add_test(NAME win.tool_json
             COMMAND Python3::Interpreter "${CMAKE_SOURCE_DIR}/tests/tool/json_cases.py"
                     "$<TARGET_FILE:velmorante-tool>" "${CMAKE_SOURCE_DIR}/scripts/wine-run")
    set_tests_properties(win.tool_json PROPERTIES TIMEOUT 300 LABELS windows)
  else()
    add_test(NAME tool_json
             COMMAND Python3::Interpreter "${CMAKE_SOURCE_DIR}/tests/tool/json_cases.py"
                     "$<TARGET_FILE:velmorante-tool>")
    set_tests_properties(tool_json PROPERTIES TIMEOUT 120 LABELS native)
  endif()
endif()
