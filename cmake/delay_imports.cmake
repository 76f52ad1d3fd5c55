# Delay-loaded system libraries. The executables import statically only libraries that the system
# always maps from System32 (its known libraries); the libraries below are bound on first use
# through the delay-load helper, whose hook (foundation/system_dlls_win.cpp) loads them from
# System32. scripts/check-imports fails a build whose program imports anything else.
#
# Sets VLM_DELAY_LOADED_LIBS: what the Windows targets link instead of those libraries.
set(VLM_DELAY_LOADED winhttp wininet bcrypt crypt32 iphlpapi version wintrust)

set(VLM_DELAY_LOADED_LIBS)
if(MSVC)
  foreach(name IN LISTS VLM_DELAY_LOADED)
    list(APPEND VLM_DELAY_LOADED_LIBS ${name})
    add_link_options("/DELAYLOAD:${name}.dll")
  endforeach()
  list(APPEND VLM_DELAY_LOADED_LIBS delayimp)
  add_link_options("/INCLUDE:__pfnDliNotifyHook2")
elseif(WIN32)
  # GNU ld has no /DELAYLOAD: dlltool makes a delay-import library of each, from the functions its
  # import library lists (data exports cannot be delay-loaded and are left out).
  set(delay_dir "${CMAKE_BINARY_DIR}/delay-imports")
  file(MAKE_DIRECTORY "${delay_dir}")
  foreach(name IN LISTS VLM_DELAY_LOADED)
    find_library(vlm_import_${name} NAMES ${name} REQUIRED NO_CACHE)
    set(out "${delay_dir}/lib${name}_delay.a")
    if(NOT EXISTS "${out}" OR "${vlm_import_${name}}" IS_NEWER_THAN "${out}")
      execute_process(COMMAND "${CMAKE_NM}" -g --defined-only "${vlm_import_${name}}"
                      OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR "nm could not read ${vlm_import_${name}}")
      endif()
      string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z0-9_@?$]+" code "${symbols}")
      set(def "LIBRARY ${name}.dll\nEXPORTS\n")
      foreach(entry IN LISTS code)
        string(REGEX REPLACE "^[0-9a-f]+ T " "" function "${entry}")
        string(APPEND def "  ${function}\n")
      endforeach()
      file(WRITE "${delay_dir}/${name}.def" "${def}")
      execute_process(COMMAND "${CMAKE_DLLTOOL}" -d "${delay_dir}/${name}.def" -D "${name}.dll" -y "${out}"
                      RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR "dlltool could not make the delay-import library of ${name}.dll")
      endif()
    endif()
    list(APPEND VLM_DELAY_LOADED_LIBS "${out}")
  endforeach()
endif()
