# The product's engine payloads as one resource object (resources 101-103 with their digests
# 201-203 and 301-303), linked into the program and into the tunnel test, which unpacks and runs them.
if(WIN32)
  set(VLM_PAYLOAD_OBJECT "${VLM_PAYLOAD_DIR}/engine_payloads.o")
  add_custom_command(
    OUTPUT "${VLM_PAYLOAD_OBJECT}"
    COMMAND "${CMAKE_RC_COMPILER}" -O coff -i "${VLM_PAYLOAD_DIR}/engine_payloads.rc" -o "${VLM_PAYLOAD_OBJECT}"
    DEPENDS ${product_payloads} "${VLM_PAYLOAD_DIR}/engine_payloads.rc"
    COMMENT "Compiling the engine payload resources"
    VERBATIM)
  set_source_files_properties("${VLM_PAYLOAD_OBJECT}" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

  target_sources(velmorante-tool PRIVATE "${VLM_PAYLOAD_OBJECT}")

  if(VLM_TESTS AND TARGET tunnel_start_test)
    target_sources(tunnel_start_test PRIVATE "${VLM_PAYLOAD_OBJECT}")
    # It needs its namespace, the VLESS server and the page: scripts/test.d/42-tunnel runs it.
    set_tests_properties(win.tunnel_start_test PROPERTIES DISABLED TRUE)
  endif()
endif()

# scripts/bench tunnel
if(WIN32)
  add_executable(tunnel_bench EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/bench/tunnel_bench.cpp" "${VLM_PAYLOAD_OBJECT}")
  target_link_libraries(tunnel_bench PRIVATE vlm_core vlm_edge)
endif()
