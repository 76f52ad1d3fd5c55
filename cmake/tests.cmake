# Test executables.
#   tests/native/*_test.cpp        portable tests: natively one executable per file, each case its
#                                  own CTest test; on Windows all of them in portable_test.exe
#   tests/native/*_posix_test.cpp  native only (they use the host's facilities)
#   tests/windows/*_test.cpp       Windows edge tests: one executable per file, one CTest test each,
#                                  run under Wine (a Wine start is costly, so keep them few)
file(GLOB portable_tests CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp")
set(VLM_TEST_SUPPORT "${CMAKE_SOURCE_DIR}/tests/support")

# The tests' own code (GoogleTest's macros, mostly) is compiled without optimisation or debug
# information in the optimised presets: it compiles several times faster, and the product code they
# link keeps the preset's flags.
set(vlm_test_flags)
if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
  set(vlm_test_flags -O0 -g0)
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE ${vlm_test_flags})
  endforeach()
endif()

if(NOT WIN32)
  foreach(src IN LISTS portable_tests)
    get_filename_component(name "${src}" NAME_WE)
    add_executable(${name} "${src}")
    target_compile_options(${name} PRIVATE ${vlm_test_flags})
    target_include_directories(${name} PRIVATE "${VLM_TEST_SUPPORT}")
    # The edge too: some tests run the platform's real clock and threads around the portable code.
    target_link_libraries(${name} PRIVATE vlm_core vlm_edge GTest::gmock_main Threads::Threads)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS native)
  endforeach()
  # The release guard, by configuring the project with each development default.
  add_test(NAME release_guard COMMAND bash "${CMAKE_SOURCE_DIR}/tests/cmake/release_guard_test.sh")
  set_tests_properties(release_guard PROPERTIES TIMEOUT 300 LABELS native)
else()
  list(FILTER portable_tests EXCLUDE REGEX "_posix_test\\.cpp$")
  add_executable(portable_test ${portable_tests})
  target_compile_options(portable_test PRIVATE ${vlm_test_flags})
  target_include_directories(portable_test PRIVATE "${VLM_TEST_SUPPORT}")
  target_link_libraries(portable_test PRIVATE vlm_core vlm_edge GTest::gmock_main)
  add_test(NAME win.portable COMMAND portable_test)
  set_tests_properties(win.portable PROPERTIES TIMEOUT 300 LABELS windows)

  file(GLOB windows_tests CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/windows/*_test.cpp")
  foreach(src IN LISTS windows_tests)
    get_filename_component(name "${src}" NAME_WE)
    add_executable(${name} "${src}")
    target_compile_options(${name} PRIVATE ${vlm_test_flags})
    target_include_directories(${name} PRIVATE "${VLM_TEST_SUPPORT}")
    target_link_libraries(${name} PRIVATE vlm_core vlm_edge GTest::gmock_main)
    add_test(NAME win.${name} COMMAND ${name})
    set_tests_properties(win.${name} PROPERTIES TIMEOUT 300 LABELS windows)
  endforeach()
endif()
