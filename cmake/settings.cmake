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
set(VLM_SUPPORT_URL "https://api.velmorante.test/support" CACHE STRING "Support link opened by the page")

# A Release build is for users: it must not trust the development key, whose private half is
# public, nor talk to the development service. The presets build RelWithDebInfo and are not held.
option(VLM_DEVELOPMENT_RELEASE "Allow a Release build with the development service's settings" OFF)
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VLM_DEVELOPMENT_RELEASE)
  set(vlm_still_development)
  if(VLM_SERVICE_PUBLIC_KEY STREQUAL vlm_development_key)
    list(APPEND vlm_still_development VLM_SERVICE_PUBLIC_KEY)
  endif()
  if(VLM_SERVICE_HOST STREQUAL vlm_development_host)
    list(APPEND vlm_still_development VLM_SERVICE_HOST)
  endif()
  if(VLM_SERVICE_FALLBACK_IP STREQUAL vlm_development_fallback_ip)
    list(APPEND vlm_still_development VLM_SERVICE_FALLBACK_IP)
  endif()
  if(vlm_still_development)
    list(JOIN vlm_still_development ", " vlm_names)
    message(FATAL_ERROR
      "A Release build still has the development service's settings: ${vlm_names}.\n"
      "Set the real service with -DVLM_SERVICE_HOST=..., -DVLM_SERVICE_FALLBACK_IP=... and "
      "-DVLM_SERVICE_PUBLIC_KEY=<hex of X||Y>, or pass -DVLM_DEVELOPMENT_RELEASE=ON to build a "
      "release against the development service on purpose (never for users).")
  endif()
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
