# Stand-in engines: test fixtures that keep the engines' contract (tests/fixtures/engines), never
# shipped. They are built into their own folder, under the engines' file names, and become the
# program's payloads when no real engines are given (payloads.cmake reads VLM_STANDIN_*, and this
# file is included before it). engine-driver starts and stops an engine as the program does, for
# tests/fixtures/engines/check.sh.
if(WIN32)
  set(VLM_STANDIN_DIR "${CMAKE_BINARY_DIR}/standin-engines")
  set(standin_src "${CMAKE_SOURCE_DIR}/tests/fixtures/engines")

  # Linux programs from under Wine: shared with the development web view runtime.
  add_library(wine_linux STATIC "${CMAKE_SOURCE_DIR}/tests/fixtures/wine_linux.cpp")
  target_link_libraries(wine_linux PUBLIC vlm_core)

  add_library(standin_common STATIC "${standin_src}/standin_common.cpp")
  target_link_libraries(standin_common PUBLIC vlm_core vlm_edge wine_linux)

  add_executable(standin_xray "${standin_src}/xray_standin.cpp" "${standin_src}/standin_socks.cpp")
  add_executable(standin_singbox "${standin_src}/singbox_standin.cpp")
  foreach(target standin_xray standin_singbox)
    target_link_libraries(${target} PRIVATE standin_common)
    target_link_options(${target} PRIVATE -municode)
  endforeach()
  set_target_properties(standin_xray PROPERTIES OUTPUT_NAME xray-core RUNTIME_OUTPUT_DIRECTORY "${VLM_STANDIN_DIR}")
  set_target_properties(standin_singbox PROPERTIES OUTPUT_NAME sing-box RUNTIME_OUTPUT_DIRECTORY "${VLM_STANDIN_DIR}")

  add_library(standin_wintun SHARED "${standin_src}/wintun_standin.cpp")
  set_target_properties(standin_wintun PROPERTIES OUTPUT_NAME wintun PREFIX "" RUNTIME_OUTPUT_DIRECTORY "${VLM_STANDIN_DIR}"
                        ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/standin-engines-lib")

  add_executable(engine_driver "${standin_src}/engine_driver.cpp")
  target_link_libraries(engine_driver PRIVATE vlm_core vlm_edge iphlpapi)
  target_link_options(engine_driver PRIVATE -municode)
  set_target_properties(engine_driver PROPERTIES OUTPUT_NAME engine-driver)

  # Stripped: they travel packed in the program's resources and are unpacked at each test start.
  foreach(target standin_xray standin_singbox standin_wintun)
    target_link_options(${target} PRIVATE -s)
  endforeach()

  add_custom_target(standin_engines DEPENDS standin_xray standin_singbox standin_wintun engine_driver)

  set(VLM_STANDIN_XRAY "$<TARGET_FILE:standin_xray>")
  set(VLM_STANDIN_SINGBOX "$<TARGET_FILE:standin_singbox>")
  set(VLM_STANDIN_WINTUN "$<TARGET_FILE:standin_wintun>")
  set(VLM_STANDIN_DEPS standin_xray standin_singbox standin_wintun)
endif()
