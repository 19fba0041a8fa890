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
# Relative paths are taken from the calling folder. Once per target.
#
# A module (program, SHARED or MODULE library) embeds its own resources and those of every
# static library it links, directly or through other static libraries: a static library
# whose code loads strings or icons names them itself, and the programs, tests and
# benchmarks that link it carry them without naming them. The module's table is made at
# the end of its folder, when its links are known (so the static libraries must be made
# by then: in a room above, or earlier in the same folder); modules get that through
# nx_strict.
# An id that two of the tables give is a build error (nxrc). The target gets a private
# link to nxpal.

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
  if(NOT type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE|STATIC_LIBRARY)$")
    message(FATAL_ERROR "nx_add_resources(${target}): resources belong to a program or a library, not a ${type}")
  endif()
  get_target_property(done ${target} NX_RESOURCE_INPUTS)
  if(done)
    message(FATAL_ERROR "nx_add_resources(${target}): called twice; list all resources in one call")
  endif()

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
  set_target_properties(${target} PROPERTIES NX_RESOURCE_ARGS "${args}" NX_RESOURCE_INPUTS "${inputs}")
  nx_embed_resources_later(${target})
endfunction()

# nx_embed_resources_later(<target>): a module gets its table at the end of the calling
# folder, from its own resources and its static libraries'. Static libraries are skipped.
function(nx_embed_resources_later target)
  get_target_property(type ${target} TYPE)
  get_target_property(scheduled ${target} NX_RESOURCES_SCHEDULED)
  if(scheduled OR NOT type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
    return()
  endif()
  set_target_properties(${target} PROPERTIES NX_RESOURCES_SCHEDULED ON)
  # A deferred call reads its arguments when it runs: the name is written in now.
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _nx_embed_resources [[${target}]])")
endfunction()

# The resources of the static libraries in `items` (link items) and of theirs, once each.
function(_nx_static_resources items args_var inputs_var seen_var)
  set(args ${${args_var}})
  set(inputs ${${inputs_var}})
  set(seen ${${seen_var}})
  foreach(item ${items})
    if(item MATCHES "^\\$<LINK_ONLY:([^>]+)>$")
      set(item ${CMAKE_MATCH_1})
    endif()
    if(NOT TARGET "${item}" OR item IN_LIST seen)
      continue()
    endif()
    get_target_property(aliased ${item} ALIASED_TARGET)
    if(aliased)
      set(item ${aliased})
    endif()
    list(APPEND seen ${item})
    get_target_property(type ${item} TYPE)
    if(NOT type MATCHES "^(STATIC_LIBRARY|INTERFACE_LIBRARY|OBJECT_LIBRARY)$")
      continue()  # a shared library carries its own table
    endif()
    get_target_property(imported ${item} IMPORTED)
    if(imported)
      continue()
    endif()
    if(type STREQUAL "STATIC_LIBRARY")
      get_target_property(own_args ${item} NX_RESOURCE_ARGS)
      get_target_property(own_inputs ${item} NX_RESOURCE_INPUTS)
      if(own_args)
        list(APPEND args ${own_args})
        list(APPEND inputs ${own_inputs})
      endif()
    endif()
    get_target_property(next ${item} INTERFACE_LINK_LIBRARIES)
    if(next)
      _nx_static_resources("${next}" args inputs seen)
    endif()
  endforeach()
  set(${args_var} ${args} PARENT_SCOPE)
  set(${inputs_var} ${inputs} PARENT_SCOPE)
  set(${seen_var} ${seen} PARENT_SCOPE)
endfunction()

function(_nx_embed_resources target)
  get_target_property(args ${target} NX_RESOURCE_ARGS)
  get_target_property(inputs ${target} NX_RESOURCE_INPUTS)
  if(NOT args)
    set(args "")
    set(inputs "")
  endif()
  get_target_property(links ${target} LINK_LIBRARIES)
  set(seen "")
  if(links)
    _nx_static_resources("${links}" args inputs seen)
  endif()
  if(NOT args)
    return()
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp")
  add_custom_command(OUTPUT "${out}"
    COMMAND nxrc --output "${out}" ${args}
    DEPENDS nxrc ${inputs}
    COMMENT "Embedding the resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE "${out}")
  target_link_libraries(${target} PRIVATE nxpal)
endfunction()
