# Module resources: string tables and PNG icons embedded into a program or shared library
# at build time. nxrc (platform/tools/nxrc) compiles them into a C++ source whose static
# object registers them with libnxpal under the module's handle when the module loads.
#
#   nx_add_resources(<target>
#                    [STRINGS <file.strings>...]
#                    [ICONS <id> <image.png>... [<id> <image.png>...]...])
#
# STRINGS: UTF-8 tables, one line per string: <id> "text" (format in
# platform/tools/nxrc/strings_format.h). ICONS: each number starts a new icon id, the PNG
# files after it are that icon's sizes (e.g. ICONS 128 a16.png a32.png 129 b16.png).
# Relative paths are taken from the calling folder. Only SHARED, MODULE and EXECUTABLE
# targets, once each; the target gets a private link to nxpal.

add_executable(nxrc
  ${CMAKE_SOURCE_DIR}/platform/tools/nxrc/nxrc.cpp
  ${CMAKE_SOURCE_DIR}/platform/tools/nxrc/strings_format.cpp)
nx_strict(nxrc)
target_link_libraries(nxrc PRIVATE PNG::PNG)
# Header-only byte coding of the platform; nxrc runs at build time and links no library.
target_include_directories(nxrc PRIVATE ${CMAKE_SOURCE_DIR}/platform/include)

function(nx_add_resources target)
  cmake_parse_arguments(R "" "" "STRINGS;ICONS" ${ARGN})
  if(R_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nx_add_resources(${target}): unexpected arguments ${R_UNPARSED_ARGUMENTS}")
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
    message(FATAL_ERROR "nx_add_resources(${target}): resources belong to a program or shared library, not a ${type}")
  endif()
  get_target_property(done ${target} NX_HAS_RESOURCES)
  if(done)
    message(FATAL_ERROR "nx_add_resources(${target}): called twice; list all resources in one call")
  endif()
  set_target_properties(${target} PROPERTIES NX_HAS_RESOURCES ON)

  set(args "")
  set(inputs "")
  foreach(file ${R_STRINGS})
    get_filename_component(path "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND args --strings "${path}")
    list(APPEND inputs "${path}")
  endforeach()
  set(id "")
  foreach(item ${R_ICONS})
    if(item MATCHES "^[0-9]+$")
      set(id ${item})
    elseif(id STREQUAL "")
      message(FATAL_ERROR "nx_add_resources(${target}): ICONS must start with an icon id, not ${item}")
    else()
      get_filename_component(path "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      list(APPEND args --icon ${id} "${path}")
      list(APPEND inputs "${path}")
    endif()
  endforeach()

  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp")
  add_custom_command(OUTPUT "${out}"
    COMMAND nxrc --output "${out}" ${args}
    DEPENDS nxrc ${inputs}
    COMMENT "Embedding the resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE "${out}")
  target_link_libraries(${target} PRIVATE nxpal)
endfunction()
