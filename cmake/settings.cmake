# Build-time settings of the service endpoint. The defaults point at the development service
# (tools/dev-service), which runs on loopback; a release build sets them on the command line.
set(vlm_development_host "api.velmorante.test")
set(vlm_development_fallback_ip "127.0.0.1")
# The public half of the development service's key (tools/dev-service/dev-signing-key.pem).
set(vlm_development_key "57476701ee878be81c07355f7c02a36ce929e8af2eafaa915b5c06561e3ea18efd4a1e8d033f24f533ffa1fd0fd28b7e36317b64bf3c2576ac3c4e82f2a42768")

set(VLM_VERSION "${PROJECT_VERSION}" CACHE STRING "Version text of the program")
set(VLM_SERVICE_HOST "${vlm_development_host}" CACHE STRING "Host name of the service")
set(VLM_SERVICE_FALLBACK_IP "${vlm_development_fallback_ip}" CACHE STRING "IPv4 address tried when the host name fails")
set(VLM_SERVICE_PUBLIC_KEY "${vlm_development_key}" CACHE STRING "Service signing key: hex of the 64-byte P-256 point X||Y")
set(vlm_development_support_url "https://api.velmorante.test/support")
set(VLM_SUPPORT_URL "${vlm_development_support_url}" CACHE STRING "Support link opened by the page")

# What the build trusts decides, not its type: a build that still has any development default (the
# development key, whose private half is in this repository, the development host, fallback address
# or support link) or that packs the stand-in engines is for development only, and is refused in
# every build type unless VLM_DEVELOPMENT_RELEASE says so. The presets and scripts set it.
option(VLM_DEVELOPMENT_RELEASE
       "Development build: allow the development service's settings and the stand-in engines (never for users)" OFF)
set(vlm_still_development)
foreach(pair VLM_SERVICE_PUBLIC_KEY:vlm_development_key VLM_SERVICE_HOST:vlm_development_host
             VLM_SERVICE_FALLBACK_IP:vlm_development_fallback_ip VLM_SUPPORT_URL:vlm_development_support_url)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 setting)
  list(GET pair 1 default)
  if("${${setting}}" STREQUAL "${${default}}")
    list(APPEND vlm_still_development ${setting})
  endif()
endforeach()
# The engine payloads are the stand-ins unless a folder of real engines is given (payloads.cmake).
if(WIN32 AND NOT VELMORANTE_ENGINE_DIR)
  list(APPEND vlm_still_development "VELMORANTE_ENGINE_DIR (stand-in engines)")
endif()
if(vlm_still_development AND NOT VLM_DEVELOPMENT_RELEASE)
  list(JOIN vlm_still_development ", " vlm_names)
  message(FATAL_ERROR
    "This build would still trust development settings: ${vlm_names}.\n"
    "For users, set the real service with -DVLM_SERVICE_HOST=..., -DVLM_SERVICE_FALLBACK_IP=..., "
    "-DVLM_SERVICE_PUBLIC_KEY=<hex of X||Y> and -DVLM_SUPPORT_URL=..., and the real engines with "
    "-DVELMORANTE_ENGINE_DIR=<folder>. For development, pass -DVLM_DEVELOPMENT_RELEASE=ON (the presets "
    "and scripts do).")
endif()

# A build that trusts the development key talks to the development service: it alone takes the
# development switches of the environment (VLM_DEV_PROFILE_REFRESH_SECONDS, VLM_DEV_SHUTDOWN_PAUSE_MS).
if(VLM_SERVICE_PUBLIC_KEY STREQUAL vlm_development_key)
  set(VLM_DEVELOPMENT_SERVICE true)
else()
  set(VLM_DEVELOPMENT_SERVICE false)
endif()

set(VLM_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/build_config.h.in" "${VLM_GENERATED_DIR}/build_config.h" @ONLY)
configure_file("${CMAKE_SOURCE_DIR}/cmake/version.cpp.in" "${VLM_GENERATED_DIR}/version.cpp" @ONLY)
