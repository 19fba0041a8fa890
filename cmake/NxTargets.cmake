# Helpers shared by every room: warning flags, sanitizers, tests, resources.

# Flags for our own code (not for third-party or generated sources).
function(nx_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(NX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(NX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# nx_add_test(NAME SOURCES a.cpp ... LIBS x y [LABELS unit])
# One GoogleTest executable registered with ctest under the given labels.
function(nx_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT NX_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  nx_strict(${name})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests/support)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;NX_TEST_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# nx_exports(TARGET LIST)
# A shared library of the project: the standard library's template instantiations stay
# local (nx_exports.map), and a test compares the library's dynamic symbol table with
# LIST, the names its interface allows, so nothing else leaks out unnoticed.
function(nx_exports target list)
  set(map ${PROJECT_SOURCE_DIR}/cmake/nx_exports.map)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  if(NX_BUILD_TESTS)
    add_test(NAME ${target}_exports
             COMMAND ${PROJECT_SOURCE_DIR}/cmake/check-exports $<TARGET_FILE:${target}> ${list})
    set_tests_properties(${target}_exports PROPERTIES LABELS unit)
  endif()
endfunction()
