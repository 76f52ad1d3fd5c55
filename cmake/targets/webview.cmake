# The WebView2 host's Windows test and its fixture: a recording stand-in runtime
# (tests/fixtures/webview-runtime, never shipped), built into the layout the loader looks for,
# webview-runtime/EBWebView/x64/EmbeddedBrowserWebView.dll; the test registers that folder in
# the prefix while it runs. The test carries the page as its own resource 104.
if(WIN32 AND VLM_TESTS)
  set(VLM_WEBVIEW_RUNTIME_DIR "${CMAKE_BINARY_DIR}/webview-runtime")
  set(webview_fixture "${CMAKE_SOURCE_DIR}/tests/fixtures/webview-runtime")

  add_custom_command(
    OUTPUT "${VLM_WEBVIEW_RUNTIME_DIR}/runtime_res.o"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${VLM_WEBVIEW_RUNTIME_DIR}"
    COMMAND "${CMAKE_RC_COMPILER}" -O coff -i "${webview_fixture}/runtime.rc" -o "${VLM_WEBVIEW_RUNTIME_DIR}/runtime_res.o"
    DEPENDS "${webview_fixture}/runtime.rc"
    COMMENT "Compiling the stand-in web view runtime's resources"
    VERBATIM)
  set_source_files_properties("${VLM_WEBVIEW_RUNTIME_DIR}/runtime_res.o" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

  add_library(webview_runtime SHARED "${webview_fixture}/runtime.cpp" "${webview_fixture}/runtime_view.cpp"
                                     "${webview_fixture}/runtime.def" "${VLM_WEBVIEW_RUNTIME_DIR}/runtime_res.o")
  target_link_libraries(webview_runtime PRIVATE vlm_core ole32 user32 uuid)
  set_target_properties(webview_runtime PROPERTIES OUTPUT_NAME EmbeddedBrowserWebView PREFIX ""
                        RUNTIME_OUTPUT_DIRECTORY "${VLM_WEBVIEW_RUNTIME_DIR}/EBWebView/x64"
                        ARCHIVE_OUTPUT_DIRECTORY "${VLM_WEBVIEW_RUNTIME_DIR}/lib")

  if(TARGET webview_host_test)
    set(page_rc "${VLM_WEBVIEW_RUNTIME_DIR}/page.rc")
    file(WRITE "${page_rc}.in" "104 RCDATA \"${CMAKE_SOURCE_DIR}/resources/ui/page.html\"\n")
    configure_file("${page_rc}.in" "${page_rc}" COPYONLY)
    add_custom_command(
      OUTPUT "${VLM_WEBVIEW_RUNTIME_DIR}/page_res.o"
      COMMAND "${CMAKE_RC_COMPILER}" -O coff -i "${page_rc}" -o "${VLM_WEBVIEW_RUNTIME_DIR}/page_res.o"
      DEPENDS "${page_rc}" "${CMAKE_SOURCE_DIR}/resources/ui/page.html"
      COMMENT "Compiling the page resource of the web view host test"
      VERBATIM)
    set_source_files_properties("${VLM_WEBVIEW_RUNTIME_DIR}/page_res.o" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources(webview_host_test PRIVATE "${VLM_WEBVIEW_RUNTIME_DIR}/page_res.o")
    # Wine shows the build machine's root as drive Z:.
    target_compile_definitions(webview_host_test PRIVATE "VLM_PAGE_FILE=\"Z:${CMAKE_SOURCE_DIR}/resources/ui/page.html\"")
    add_dependencies(webview_host_test webview_runtime)
    if(TARGET planted_marker)
      add_dependencies(webview_host_test planted_marker)  # the support link's handler
    endif()
  endif()
endif()
