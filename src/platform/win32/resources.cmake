# Windows resources of the executables: include() this file, then call
#   tavrel_add_windows_resources(<target> updater)
#   tavrel_add_windows_resources(<target> demo_app [VERSION a.b.c[.d]])
# Both kinds embed app.manifest. The updater's version resource carries the project version,
# and the updater becomes a windows-subsystem program (no console); the demo application's
# resource carries TAVREL_DEMO_APP_VERSION or the VERSION given. On other platforms the
# function does nothing.
set(TAVREL_DEMO_APP_VERSION "2.0.3.0" CACHE STRING
    "File version (a.b.c or a.b.c.d) of the demo application's version resource")

set(tavrel_windows_resource_dir ${CMAKE_CURRENT_LIST_DIR})
if(WIN32)
  enable_language(RC)
endif()

# "2.0.4" or "2.0.4.17" -> "2,0,4,0" or "2,0,4,17"; every component 0..65535.
function(tavrel_windows_version_commas text out_commas out_text)
  if(NOT text MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)(\\.([0-9]+))?$")
    message(FATAL_ERROR "Windows file version \"${text}\" is not a.b.c or a.b.c.d")
  endif()
  set(parts ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  if(CMAKE_MATCH_5 STREQUAL "")
    list(APPEND parts 0)
  else()
    list(APPEND parts ${CMAKE_MATCH_5})
  endif()
  foreach(part IN LISTS parts)
    if(part GREATER 65535)
      message(FATAL_ERROR "Windows file version \"${text}\": ${part} exceeds 65535")
    endif()
  endforeach()
  list(JOIN parts "," commas)
  list(JOIN parts "." dotted)
  set(${out_commas} "${commas}" PARENT_SCOPE)
  set(${out_text} "${dotted}" PARENT_SCOPE)
endfunction()

function(tavrel_add_windows_resources target kind)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "VERSION" "")
  if(kind STREQUAL "updater")
    set(rc ${tavrel_windows_resource_dir}/updater.rc)
    target_sources(${target} PRIVATE ${rc})
    # No console window: the application that starts the updater is a windowed program.
    set_property(TARGET ${target} PROPERTY WIN32_EXECUTABLE ON)
    set_property(SOURCE ${rc} TARGET_DIRECTORY ${target} APPEND PROPERTY COMPILE_DEFINITIONS
                 TAVREL_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
                 TAVREL_VERSION_MINOR=${PROJECT_VERSION_MINOR}
                 TAVREL_VERSION_PATCH=${PROJECT_VERSION_PATCH})
  elseif(kind STREQUAL "demo_app")
    set(version "${TAVREL_DEMO_APP_VERSION}")
    if(arg_VERSION)
      set(version "${arg_VERSION}")
    endif()
    tavrel_windows_version_commas("${version}" TAVREL_RC_VERSION_COMMAS TAVREL_RC_VERSION_TEXT)
    set(TAVREL_RC_MANIFEST ${tavrel_windows_resource_dir}/app.manifest)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${tavrel_windows_resource_dir}/demo_app_version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
  else()
    message(FATAL_ERROR "tavrel_add_windows_resources: unknown kind \"${kind}\"")
  endif()
  # windres reads the manifest while compiling the resource script.
  set_property(SOURCE ${rc} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
               ${tavrel_windows_resource_dir}/app.manifest)
endfunction()
