# Build-time settings of the service endpoint. The defaults point at the development service
# (tools/dev-service), which runs on loopback; a release build sets them on the command line.
set(VLM_VERSION "${PROJECT_VERSION}" CACHE STRING "Version text of the program")
set(VLM_SERVICE_HOST "api.velmorante.test" CACHE STRING "Host name of the service")
set(VLM_SERVICE_FALLBACK_IP "127.0.0.1" CACHE STRING "IPv4 address tried when the host name fails")
# The public half of the development service's key (tools/dev-service/dev-signing-key.pem).
set(VLM_SERVICE_PUBLIC_KEY "57476701ee878be81c07355f7c02a36ce929e8af2eafaa915b5c06561e3ea18efd4a1e8d033f24f533ffa1fd0fd28b7e36317b64bf3c2576ac3c4e82f2a42768"
    CACHE STRING "Service signing key: hex of the 64-byte P-256 point X||Y")
set(VLM_SUPPORT_URL "https://api.velmorante.test/support" CACHE STRING "Support link opened by the page")

set(VLM_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/build_config.h.in" "${VLM_GENERATED_DIR}/build_config.h" @ONLY)
