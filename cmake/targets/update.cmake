# The update's Windows test and its fixtures (never shipped), and "an update" of the program.
#
# downloads/update-old.exe and update-new.exe: one small program built twice with different version
# texts; the test installs a copy of the old one in a temporary folder and lets the update replace
# it with the new one, served by the development service (scripts/test.d/44-bootstrap-update).
if(WIN32 AND VLM_TESTS)
  foreach(build old new)
    add_executable(update_target_${build} "${CMAKE_SOURCE_DIR}/tests/fixtures/update-target/target.cpp")
    target_compile_definitions(update_target_${build} PRIVATE "VLM_TARGET_VERSION=\"${build}\"")
    target_link_options(update_target_${build} PRIVATE -municode -mwindows)
    set_target_properties(update_target_${build} PROPERTIES OUTPUT_NAME update-${build}
                          RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/downloads")
  endforeach()
  if(TARGET update_test)
    add_dependencies(update_test update_target_old update_target_new)
    set_tests_properties(win.update_test PROPERTIES DISABLED TRUE)
  endif()
endif()

# vlm_add_program_variant(TARGET VERSION DIR): DIR/VELMORANTE.exe, the program linked once more with
# VERSION as its version text: only that text's object is compiled again (cmake/version.cpp.in).
function(vlm_add_program_variant target version dir)
  set(VLM_VERSION "${version}")
  set(generated "${CMAKE_BINARY_DIR}/${target}/generated")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/version.cpp.in" "${generated}/version.cpp" @ONLY)
  # The resource script carries the icon, manifest, page and engine payloads (program.cmake).
  add_executable(${target} WIN32 EXCLUDE_FROM_ALL "${generated}/version.cpp"
                 "${CMAKE_SOURCE_DIR}/shell/entry_win.cpp" "${CMAKE_BINARY_DIR}/resources/velmorante.rc")
  target_link_libraries(${target} PRIVATE vlm_core vlm_edge)
  target_link_options(${target} PRIVATE -municode)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME VELMORANTE RUNTIME_OUTPUT_DIRECTORY "${dir}")
endfunction()

# The program's next patch version, for the update's end-to-end test.
if(WIN32 AND VLM_TESTS AND TARGET VELMORANTE)
  math(EXPR vlm_next_patch "${PROJECT_VERSION_PATCH} + 1")
  set(VLM_UPDATE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${vlm_next_patch}")
  vlm_add_program_variant(VELMORANTE_update "${VLM_UPDATE_VERSION}" "${CMAKE_BINARY_DIR}/update")
  # What the development service offers as the update (scripts/run with VLM_RUN_OFFER_UPDATE=1).
  add_custom_command(
    OUTPUT "${CMAKE_BINARY_DIR}/downloads/VELMORANTE-update.exe"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/downloads"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:VELMORANTE_update>" "${CMAKE_BINARY_DIR}/downloads/VELMORANTE-update.exe"
    DEPENDS VELMORANTE_update
    COMMENT "The update the development service offers"
    VERBATIM)
  file(WRITE "${CMAKE_BINARY_DIR}/downloads/VELMORANTE-update.version" "${VLM_UPDATE_VERSION}")
  add_custom_target(program_update_file ALL DEPENDS "${CMAKE_BINARY_DIR}/downloads/VELMORANTE-update.exe")
endif()
