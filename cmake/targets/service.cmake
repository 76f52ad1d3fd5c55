# The HTTP client's tests need the development service and their own host names, so they run in a
# network namespace of their own (scripts/test.d/40-service), not in the plain Windows ctest run.
if(WIN32 AND VLM_TESTS AND TARGET http_test)
  set_tests_properties(win.http_test PROPERTIES DISABLED TRUE)
endif()
if(WIN32 AND VLM_TESTS AND TARGET profile_source_test)
  set_tests_properties(win.profile_source_test PROPERTIES DISABLED TRUE)
endif()
