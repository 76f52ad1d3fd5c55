# The runtime bootstrap's Windows tests and their fixtures (never shipped). The stand-in runtime
# installer carries the recording stand-in runtime (cmake/targets/webview.cmake) as its resource 1;
# the served copies go to downloads/, the folder the development service serves in the tests:
#   installer-signed.exe    signed with a throw-away code-signing certificate made here
#   installer-unsigned.exe  the same program without a signature
#   installer-altered.exe   the signed one with one code byte changed after signing
#   installer-dll.exe       a signed DLL under a program's name: it cannot be started
#   installer-other.exe     the same program signed by another name than the accepted ones
# The tests need the development service, their own namespace and a display, so they run in
# scripts/test.d/44-bootstrap-update, not in the plain Windows ctest run.
if(WIN32 AND VLM_TESTS)
  find_program(VLM_OSSLSIGNCODE osslsigncode REQUIRED)
  find_program(VLM_OPENSSL openssl REQUIRED)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(VLM_DOWNLOADS_DIR "${CMAKE_BINARY_DIR}/downloads")
  set(installer_dir "${CMAKE_BINARY_DIR}/runtime-installer")
  set(installer_fixture "${CMAKE_SOURCE_DIR}/tests/fixtures/runtime-installer")

  file(GENERATE OUTPUT "${installer_dir}/installer.rc" CONTENT "1 RCDATA \"$<TARGET_FILE:webview_runtime>\"\n")
  add_custom_command(
    OUTPUT "${installer_dir}/installer_res.o"
    COMMAND "${CMAKE_RC_COMPILER}" -O coff -i "${installer_dir}/installer.rc" -o "${installer_dir}/installer_res.o"
    DEPENDS webview_runtime "${installer_dir}/installer.rc"
    COMMENT "Packing the stand-in web view runtime into the stand-in installer"
    VERBATIM)
  set_source_files_properties("${installer_dir}/installer_res.o" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  add_executable(runtime_installer "${installer_fixture}/installer.cpp" "${installer_dir}/installer_res.o")
  target_link_options(runtime_installer PRIVATE -municode -mwindows)
  target_link_libraries(runtime_installer PRIVATE shell32 ole32 advapi32)
  set_target_properties(runtime_installer PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${installer_dir}")

  add_custom_command(
    OUTPUT "${installer_dir}/signer.pem" "${installer_dir}/signer-key.pem"
    COMMAND "${VLM_OPENSSL}" req -x509 -newkey rsa:2048 -nodes -days 30 -keyout signer-key.pem -out signer.pem
            -subj "/CN=VELMORANTE test signer (development only)" -addext "extendedKeyUsage=codeSigning"
            -addext "keyUsage=critical,digitalSignature"
    WORKING_DIRECTORY "${installer_dir}"
    COMMENT "Making a throw-away code-signing certificate"
    VERBATIM)

  add_custom_command(
    OUTPUT "${installer_dir}/other.pem" "${installer_dir}/other-key.pem"
    COMMAND "${VLM_OPENSSL}" req -x509 -newkey rsa:2048 -nodes -days 30 -keyout other-key.pem -out other.pem
            -subj "/CN=Someone else" -addext "extendedKeyUsage=codeSigning"
            -addext "keyUsage=critical,digitalSignature"
    WORKING_DIRECTORY "${installer_dir}"
    COMMENT "Making a second throw-away code-signing certificate"
    VERBATIM)

  set(sign "${VLM_OSSLSIGNCODE}" sign -certs "${installer_dir}/signer.pem" -key "${installer_dir}/signer-key.pem"
           -n "VELMORANTE test installer")
  set(installer_files "${VLM_DOWNLOADS_DIR}/installer-signed.exe" "${VLM_DOWNLOADS_DIR}/installer-unsigned.exe"
                      "${VLM_DOWNLOADS_DIR}/installer-altered.exe" "${VLM_DOWNLOADS_DIR}/installer-dll.exe"
                      "${VLM_DOWNLOADS_DIR}/installer-other.exe")
  add_custom_command(
    OUTPUT ${installer_files}
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${VLM_DOWNLOADS_DIR}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f ${installer_files}
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:runtime_installer>" "${VLM_DOWNLOADS_DIR}/installer-unsigned.exe"
    COMMAND ${sign} -in "$<TARGET_FILE:runtime_installer>" -out "${VLM_DOWNLOADS_DIR}/installer-signed.exe"
    COMMAND ${sign} -in "$<TARGET_FILE:webview_runtime>" -out "${VLM_DOWNLOADS_DIR}/installer-dll.exe"
    COMMAND "${VLM_OSSLSIGNCODE}" sign -certs "${installer_dir}/other.pem" -key "${installer_dir}/other-key.pem"
            -n "VELMORANTE test installer" -in "$<TARGET_FILE:runtime_installer>"
            -out "${VLM_DOWNLOADS_DIR}/installer-other.exe"
    COMMAND "${Python3_EXECUTABLE}" "${installer_fixture}/alter.py" "${VLM_DOWNLOADS_DIR}/installer-signed.exe"
            "${VLM_DOWNLOADS_DIR}/installer-altered.exe"
    DEPENDS runtime_installer webview_runtime "${installer_dir}/signer.pem" "${installer_dir}/other.pem"
            "${installer_fixture}/alter.py"
    COMMENT "Signing, copying and altering the stand-in installer"
    VERBATIM)
  add_custom_target(runtime_installer_files ALL DEPENDS ${installer_files})

  # The same installer carrying the development runtime, signed: what the development service
  # offers scripts/run's program on its first start in a fresh prefix, behind the splash.
  if(TARGET dev_runtime)
    file(GENERATE OUTPUT "${installer_dir}/dev-installer.rc" CONTENT "1 RCDATA \"$<TARGET_FILE:dev_runtime>\"\n")
    add_custom_command(
      OUTPUT "${installer_dir}/dev_installer_res.o"
      COMMAND "${CMAKE_RC_COMPILER}" -O coff -i "${installer_dir}/dev-installer.rc" -o "${installer_dir}/dev_installer_res.o"
      DEPENDS dev_runtime "${installer_dir}/dev-installer.rc"
      COMMENT "Packing the development web view runtime into its installer"
      VERBATIM)
    set_source_files_properties("${installer_dir}/dev_installer_res.o" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    add_executable(dev_runtime_installer "${installer_fixture}/installer.cpp" "${installer_dir}/dev_installer_res.o")
    target_link_options(dev_runtime_installer PRIVATE -municode -mwindows)
    target_link_libraries(dev_runtime_installer PRIVATE shell32 ole32 advapi32)
    set_target_properties(dev_runtime_installer PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${installer_dir}")
    add_custom_command(
      OUTPUT "${VLM_DOWNLOADS_DIR}/dev-runtime-installer.exe"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${VLM_DOWNLOADS_DIR}"
      COMMAND "${CMAKE_COMMAND}" -E rm -f "${VLM_DOWNLOADS_DIR}/dev-runtime-installer.exe"
      COMMAND ${sign} -in "$<TARGET_FILE:dev_runtime_installer>" -out "${VLM_DOWNLOADS_DIR}/dev-runtime-installer.exe"
      DEPENDS dev_runtime_installer "${installer_dir}/signer.pem"
      COMMENT "Signing the development runtime's installer"
      VERBATIM)
    add_custom_target(dev_runtime_installer_file ALL DEPENDS "${VLM_DOWNLOADS_DIR}/dev-runtime-installer.exe")
  endif()

  foreach(test bootstrap_test splash_test)
    if(TARGET ${test})
      set_tests_properties(win.${test} PROPERTIES DISABLED TRUE)
    endif()
  endforeach()
  if(TARGET bootstrap_test)
    add_dependencies(bootstrap_test runtime_installer_files)
  endif()
endif()
