# Engine payloads: the LZMS packer (wimlib, on the build machine), the payload resources 101-103,
# and the Windows test executable that carries payloads of its own.
#
# VELMORANTE_ENGINE_DIR: a folder with the real xray-core.exe, sing-box.exe and wintun.dll.
# Without it the payloads are test stand-ins (VLM_STANDIN_XRAY / _SINGBOX / _WINTUN, which the
# stand-in engines may set), and the build says so: such a program is not for users.
set(VELMORANTE_ENGINE_DIR "" CACHE PATH "Folder with the real xray-core.exe, sing-box.exe and wintun.dll")

set(VLM_PAYLOAD_DIR "${CMAKE_BINARY_DIR}/payloads")

if(NOT WIN32)
  add_subdirectory(tools/payload-pack)
  target_link_libraries(velmorante-tool PRIVATE vlm_pack)
  set(VLM_PACKER "$<TARGET_FILE:payload-pack>")
  set(VLM_PACKER_TARGET payload-pack)

  add_executable(lzms_bench EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/bench/lzms_bench.cpp")
  target_link_libraries(lzms_bench PRIVATE vlm_pack)

  if(VLM_TESTS)
    file(GLOB wimlib_tests CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/native/lzms_*_posix_test.cpp")
    foreach(src IN LISTS wimlib_tests)
      get_filename_component(name "${src}" NAME_WE)
      target_link_libraries(${name} PRIVATE vlm_pack)
    endforeach()
  endif()
else()
  # Cross build: the packer runs on the build machine, so it is a project of its own, built with
  # the host's compiler (tools/payload-pack/host); its own build tracks its sources.
  include(ExternalProject)
  find_program(VLM_HOST_CXX NAMES g++ c++ REQUIRED)
  set(VLM_PACKER "${CMAKE_BINARY_DIR}/host/payload-pack")
  ExternalProject_Add(payload-pack
    SOURCE_DIR "${CMAKE_SOURCE_DIR}/tools/payload-pack/host"
    BINARY_DIR "${CMAKE_BINARY_DIR}/host"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_COMPILER=${VLM_HOST_CXX}"
    INSTALL_COMMAND ""
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS "${VLM_PACKER}")
  set(VLM_PACKER_TARGET payload-pack)
endif()

# vlm_pack_file(OUT IN [DEPENDS targets...]): OUT is IN packed, OUT.crc32 the CRC-32 record of IN,
# OUT.sha256 its SHA-256 as hex text.
function(vlm_pack_file out in)
  cmake_parse_arguments(arg "" "" "DEPENDS" ${ARGN})
  add_custom_command(
    OUTPUT "${out}" "${out}.crc32" "${out}.sha256"
    COMMAND "${VLM_PACKER}" "${in}" "${out}" "${out}.crc32"
    COMMAND "${CMAKE_COMMAND}" "-DIN=${in}" "-DOUT=${out}.sha256" -P "${CMAKE_SOURCE_DIR}/cmake/sha256_record.cmake"
    DEPENDS ${VLM_PACKER_TARGET} "${VLM_PACKER}" "${in}" ${arg_DEPENDS}
    COMMENT "Packing ${in}"
    VERBATIM)
endfunction()

# vlm_pack_engines(DIR INPUTS DEPS OUT_VAR): packs the three engine files (INPUTS, in unpacking
# order) into DIR as <name>.lzms with their CRC-32 records; OUT_VAR receives every file made.
function(vlm_pack_engines dir inputs deps out_var)
  set(made)
  set(names xray-core.exe sing-box.exe wintun.dll)
  foreach(i RANGE 2)
    list(GET names ${i} name)
    list(GET inputs ${i} input)
    vlm_pack_file("${dir}/${name}.lzms" "${input}" DEPENDS ${deps})
    list(APPEND made "${dir}/${name}.lzms" "${dir}/${name}.lzms.crc32" "${dir}/${name}.lzms.sha256")
  endforeach()
  set(${out_var} ${made} PARENT_SCOPE)
endfunction()

# vlm_payload_rc(RC_FILE DIR [EXTRA_LINES]): a resource script naming DIR's three packed engine
# files (101-103), their CRC-32 records (201-203) and SHA-256 records (301-303); written only when
# its text changes.
function(vlm_payload_rc rc dir)
  file(WRITE "${rc}.in" "// Generated: the packed engine files, in the order they are unpacked, and their digests.\n"
       "101 RCDATA \"${dir}/xray-core.exe.lzms\"\n"
       "102 RCDATA \"${dir}/sing-box.exe.lzms\"\n"
       "103 RCDATA \"${dir}/wintun.dll.lzms\"\n"
       "201 RCDATA \"${dir}/xray-core.exe.lzms.crc32\"\n"
       "202 RCDATA \"${dir}/sing-box.exe.lzms.crc32\"\n"
       "203 RCDATA \"${dir}/wintun.dll.lzms.crc32\"\n"
       "301 RCDATA \"${dir}/xray-core.exe.lzms.sha256\"\n"
       "302 RCDATA \"${dir}/sing-box.exe.lzms.sha256\"\n"
       "303 RCDATA \"${dir}/wintun.dll.lzms.sha256\"\n" ${ARGN})
  configure_file("${rc}.in" "${rc}" COPYONLY)
endfunction()

if(WIN32)
  # A small program the engine-file tests run under an engine's name.
  add_executable(engine_files_helper "${CMAKE_SOURCE_DIR}/tests/windows/engine_files_helper.cpp")
  target_link_options(engine_files_helper PRIVATE -municode -mwindows)

  # Stand-in payloads: a real PE file, a larger real PE file, and a text file.
  set(standin_text "${VLM_PAYLOAD_DIR}/standin-wintun.dll")
  if(NOT EXISTS "${standin_text}")
    set(line "VELMORANTE stand-in driver library: test data, not for users.\n")
    string(REPEAT "${line}" 2000 body)
    file(WRITE "${standin_text}" "${body}")
  endif()
  # Until the stand-in engines exist, any test payload: a stand-in engine file may set these
  # three (and VLM_STANDIN_DEPS, the targets that make them) before this file is included.
  if(NOT DEFINED VLM_STANDIN_XRAY)
    set(VLM_STANDIN_XRAY "$<TARGET_FILE:engine_files_helper>")
    set(VLM_STANDIN_SINGBOX "$<TARGET_FILE:velmorante-tool>")
    set(VLM_STANDIN_WINTUN "${standin_text}")
    set(VLM_STANDIN_DEPS engine_files_helper velmorante-tool)
  endif()
  set(standin_deps engine_files_helper velmorante-tool)

  # The program's payloads (resources 101-103, digests 201-203 and 301-303): packed/xray-core.exe.lzms and
  # so on, and engine_payloads.rc naming them for the program's resource script.
  if(VELMORANTE_ENGINE_DIR)
    foreach(name xray-core.exe sing-box.exe wintun.dll)
      if(NOT EXISTS "${VELMORANTE_ENGINE_DIR}/${name}")
        message(FATAL_ERROR "VELMORANTE_ENGINE_DIR lacks ${name}: ${VELMORANTE_ENGINE_DIR}")
      endif()
    endforeach()
    set(inputs "${VELMORANTE_ENGINE_DIR}/xray-core.exe" "${VELMORANTE_ENGINE_DIR}/sing-box.exe"
               "${VELMORANTE_ENGINE_DIR}/wintun.dll")
    set(input_deps)
  else()
    message(WARNING "VELMORANTE_ENGINE_DIR is not set: the engine payloads are TEST STAND-INS. "
                    "The program built here cannot make a tunnel and is NOT FOR USERS. "
                    "Set VELMORANTE_ENGINE_DIR to a folder with the real xray-core.exe, sing-box.exe and wintun.dll.")
    set(inputs "${VLM_STANDIN_XRAY}" "${VLM_STANDIN_SINGBOX}" "${VLM_STANDIN_WINTUN}")
    set(input_deps ${VLM_STANDIN_DEPS})
  endif()
  vlm_pack_engines("${VLM_PAYLOAD_DIR}/packed" "${inputs}" "${input_deps}" product_payloads)
  vlm_payload_rc("${VLM_PAYLOAD_DIR}/engine_payloads.rc" "${VLM_PAYLOAD_DIR}/packed")
  add_custom_target(engine_payloads ALL DEPENDS ${product_payloads})

  # The engine-file tests carry stand-in payloads of their own, always.
  if(VLM_TESTS AND TARGET engine_files_test)
    set(test_dir "${VLM_PAYLOAD_DIR}/test")
    set(test_inputs "$<TARGET_FILE:engine_files_helper>" "$<TARGET_FILE:velmorante-tool>" "${standin_text}")
    vlm_pack_engines("${test_dir}" "${test_inputs}" "${standin_deps}" test_payloads)
    # 199: present but not a container; 150: a sound container whose digest record (250) is
    # wrong, as when a damaged stream still decodes.
    if(NOT EXISTS "${test_dir}/wrong.crc32")
      file(WRITE "${test_dir}/wrong.crc32" "BAD!")
    endif()
    vlm_payload_rc("${test_dir}/test_payloads.rc" "${test_dir}" "199 RCDATA \"${standin_text}\"\n"
                   "150 RCDATA \"${test_dir}/wintun.dll.lzms\"\n" "250 RCDATA \"${test_dir}/wrong.crc32\"\n")
    add_custom_command(
      OUTPUT "${test_dir}/test_payloads.o"
      COMMAND "${CMAKE_RC_COMPILER}" -O coff -i "${test_dir}/test_payloads.rc" -o "${test_dir}/test_payloads.o"
      DEPENDS ${test_payloads} "${test_dir}/test_payloads.rc"
      COMMENT "Compiling the test payload resources"
      VERBATIM)
    set_source_files_properties("${test_dir}/test_payloads.o" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources(engine_files_test PRIVATE "${test_dir}/test_payloads.o")
    # Symbolic links are made with the Linux ln.
    target_link_libraries(engine_files_test PRIVATE wine_linux)
    add_dependencies(engine_files_test engine_files_helper)
    # The test compares what it unpacks with the originals: engine_files_helper.exe and
    # velmorante-tool.exe beside it, and payloads/standin-wintun.dll.
    add_dependencies(engine_files_test velmorante-tool)
  endif()
endif()

if(NOT WIN32 AND VLM_TESTS AND TARGET lzms_wimlib_posix_test)
  target_compile_definitions(lzms_wimlib_posix_test PRIVATE "VLM_SOURCE_DIR=\"${CMAKE_SOURCE_DIR}\"")
endif()

# velmorante-tool pack and unpack, end to end (the Windows build: unpack under Wine).
if(VLM_TESTS)
  if(NOT WIN32)
    add_test(NAME lzms.tool-pack-unpack
             COMMAND bash "${CMAKE_SOURCE_DIR}/tools/payload-pack/tool_check.sh" "$<TARGET_FILE:velmorante-tool>"
                     "${CMAKE_BINARY_DIR}/tool-check" "$<TARGET_FILE:payload-pack>")
    set_tests_properties(lzms.tool-pack-unpack PROPERTIES TIMEOUT 120 LABELS native)
  elseif(TARGET engine_files_test)
    add_test(NAME win.tool-unpack
             COMMAND bash "${CMAKE_SOURCE_DIR}/tools/payload-pack/tool_check.sh" "$<TARGET_FILE:velmorante-tool>"
                     "${CMAKE_BINARY_DIR}/tool-check" "$<TARGET_FILE:engine_files_helper>"
                     "${VLM_PAYLOAD_DIR}/test/xray-core.exe.lzms")
    set_tests_properties(win.tool-unpack PROPERTIES TIMEOUT 300 LABELS windows
                         ENVIRONMENT "VLM_EMULATOR=${CMAKE_SOURCE_DIR}/scripts/wine-run")
  endif()
endif()
