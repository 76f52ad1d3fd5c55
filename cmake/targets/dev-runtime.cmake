# The development web view runtime (tests/fixtures/dev-runtime, a test fixture, never shipped): the
# page that the host hands over is shown in Debian's Chromium, started from under Wine, and web
# messages travel over loopback. Built into the layout the loader looks for,
# dev-runtime/EBWebView/x64/EmbeddedBrowserWebView.dll; scripts/run registers it in its own prefix.
if(WIN32)
  set(VLM_DEV_RUNTIME_DIR "${CMAKE_BINARY_DIR}/dev-runtime")
  set(dev_runtime_src "${CMAKE_SOURCE_DIR}/tests/fixtures/dev-runtime")
  add_library(dev_runtime SHARED "${dev_runtime_src}/runtime.cpp" "${dev_runtime_src}/view.cpp"
                                 "${dev_runtime_src}/server.cpp" "${dev_runtime_src}/chromium.cpp"
                                 "${dev_runtime_src}/runtime.def")
  target_link_libraries(dev_runtime PRIVATE vlm_core wine_linux ws2_32 bcrypt ole32 user32 uuid)
  set_target_properties(dev_runtime PROPERTIES OUTPUT_NAME EmbeddedBrowserWebView PREFIX ""
                        RUNTIME_OUTPUT_DIRECTORY "${VLM_DEV_RUNTIME_DIR}/EBWebView/x64"
                        ARCHIVE_OUTPUT_DIRECTORY "${VLM_DEV_RUNTIME_DIR}/lib")
endif()
