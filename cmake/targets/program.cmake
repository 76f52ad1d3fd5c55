# VELMORANTE.exe: the entry and window procedure, the icon, manifest and page (velmorante.rc) and
# the engine payloads (cmake/targets/payloads.cmake).
if(WIN32)
  enable_language(RC)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(VLM_ICON_FILE "${CMAKE_BINARY_DIR}/resources/velmorante.ico")
  add_custom_command(
    OUTPUT "${VLM_ICON_FILE}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/resources"
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tools/icon/make_icon.py" "${VLM_ICON_FILE}"
    DEPENDS "${CMAKE_SOURCE_DIR}/tools/icon/make_icon.py"
    COMMENT "Drawing the program's icon"
    VERBATIM)
  configure_file("${CMAKE_SOURCE_DIR}/resources/velmorante.rc.in" "${CMAKE_BINARY_DIR}/resources/velmorante.rc" @ONLY)
  set_source_files_properties("${CMAKE_BINARY_DIR}/resources/velmorante.rc" PROPERTIES
    OBJECT_DEPENDS "${VLM_ICON_FILE};${CMAKE_SOURCE_DIR}/resources/velmorante.manifest;${CMAKE_SOURCE_DIR}/resources/ui/page.html;${product_payloads}")

  add_executable(VELMORANTE WIN32 "${CMAKE_SOURCE_DIR}/shell/entry_win.cpp" "${CMAKE_BINARY_DIR}/resources/velmorante.rc")
  target_link_libraries(VELMORANTE PRIVATE vlm_core vlm_edge)
  target_link_options(VELMORANTE PRIVATE -municode)
  set_target_properties(VELMORANTE PROPERTIES OUTPUT_NAME VELMORANTE)
endif()

# The program's own tests run it from their folder, with the recording runtime beside them.
if(WIN32 AND VLM_TESTS AND TARGET program_test)
  add_dependencies(program_test VELMORANTE webview_runtime)
  target_include_directories(program_test PRIVATE "${CMAKE_SOURCE_DIR}")
endif()

# Plants for the program's search-path test: a program and a library of system names that leave a
# mark if they ever run (tests/fixtures/planted).
if(WIN32 AND VLM_TESTS AND TARGET program_test)
  add_executable(planted_marker "${CMAKE_SOURCE_DIR}/tests/fixtures/planted/marker.cpp")
  target_link_options(planted_marker PRIVATE -municode)
  add_library(planted_library SHARED "${CMAKE_SOURCE_DIR}/tests/fixtures/planted/library.cpp")
  set_target_properties(planted_library PROPERTIES PREFIX "")
  add_dependencies(program_test planted_marker planted_library)
endif()

# The program's and the tool's static imports: only the system's known libraries (no Wine needed).
if(WIN32 AND VLM_TESTS)
  add_test(NAME program.imports COMMAND "${CMAKE_SOURCE_DIR}/scripts/check-imports"
           "$<TARGET_FILE:VELMORANTE>" "$<TARGET_FILE:velmorante-tool>")
  set_tests_properties(program.imports PROPERTIES TIMEOUT 60 LABELS windows
                       ENVIRONMENT "OBJDUMP=${CMAKE_OBJDUMP}")
endif()
