# Build-time settings of the service endpoint. The defaults point at the development service
# (tools/dev-service), which runs on loopback; a release build sets them on the command line.
set(VLM_VERSION "${PROJECT_VERSION}" CACHE STRING "Version text of the program")
set(VLM_SERVICE_HOST "api.velmorante.test" CACHE STRING "Host name of the service")
set(VLM_SERVICE_FALLBACK_IP "127.0.0.1" CACHE STRING "IPv4 address tried when the host name fails")
set(VLM_SERVICE_PUBLIC_KEY "" CACHE STRING "Service signing key: hex of the 64-byte P-256 point X||Y")
set(VLM_SUPPORT_URL "https://api.velmorante.test/support" CACHE STRING "Support link opened by the page")

set(VLM_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/build_config.h.in" "${VLM_GENERATED_DIR}/build_config.h" @ONLY)
