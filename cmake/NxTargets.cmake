# Helpers shared by every room: warning flags (and, with them, the embedding of static
# libraries' resources), sanitizers, tests, fuzz targets.

# Warnings are errors only where we choose the compiler (the dev, tsan and fuzz presets
# and CI): a user's build with another compiler must not fail on a warning new to it.
option(NX_WERROR "Treat warnings of our own code as errors" OFF)
option(NX_FUZZ "Build the libFuzzer targets (clang) instead of replaying their corpora" OFF)
set(NX_FUZZ_SECONDS 30 CACHE STRING "How long ctest runs each fuzz target")

# Flags for our own code (not for third-party or generated sources).
function(nx_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(NX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # A program or shared library embeds the resources of the static libraries it links.
  if(COMMAND nx_embed_resources_later)
    nx_embed_resources_later(${target})
  endif()
endfunction()

# nx_calls_outside_objects(TARGET): the target calls methods of interfaces of its callers'
# making, which a C caller builds as tables of functions without C++ type information, so
# UBSan's dynamic type check (vptr) cannot apply to those calls: it is left out there.
function(nx_calls_outside_objects target)
  if(NX_SANITIZE OR NX_FUZZ)
    target_compile_options(${target} PRIVATE -fno-sanitize=vptr)
  endif()
endfunction()

if(NX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(NX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "NX_FUZZ needs clang with libFuzzer (cmake --preset fuzz)")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined -O1 -gline-tables-only)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzz)
endif()
if(NX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Time limits of tests: a test that hangs fails within minutes instead of holding CI.
# Most tests take seconds even in the dev build (AddressSanitizer, both cores busy) and
# get NX_TEST_TIMEOUT; the few long ones are named below with about five times their
# usual dev-build run. A limit set on a test overrides `ctest --timeout`.
set(NX_TEST_TIMEOUT 60)
set(NX_LONG_TEST_TIMEOUTS
  ordiva_session_gui_test=300           # 51 s: recorder sessions in real time
  ordiva_session_end_gui_test=120       # 23 s: sessions that end early or lose the recorder
  ordiva_signal_check_gui_test=150      # 51 s: electrodes taken off and put back in real time
  vr03fci_worker_integration_test=120   # 25 s: strict checks of cards up to 1 GiB
  vr03sim_test=90                       # 17 s: streams at every rate, stalls
  demo_e2e_test=180)                    # 14 s alone, more beside a build: the whole main job
# ThreadSanitizer runs the same tests several times slower.
set(NX_TEST_TIME_SCALE 1)
if(NX_TSAN)
  set(NX_TEST_TIME_SCALE 4)
endif()

# nx_test_limit(NAME): sets the time limit of test NAME (defined in the calling folder).
function(nx_test_limit name)
  set(limit ${NX_TEST_TIMEOUT})
  foreach(entry ${NX_LONG_TEST_TIMEOUTS})
    if(entry MATCHES "^${name}=([0-9]+)$")
      set(limit ${CMAKE_MATCH_1})
    endif()
  endforeach()
  math(EXPR limit "${limit} * ${NX_TEST_TIME_SCALE}")
  set_tests_properties(${name} PROPERTIES TIMEOUT ${limit})
endfunction()

# nx_add_test(NAME SOURCES a.cpp ... LIBS x y [LABELS unit])
# One GoogleTest executable registered with ctest under the given labels.
function(nx_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT NX_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  nx_strict(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} nxtest GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;NX_TEST_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  nx_test_limit(${name})
  # The window tests drive real-time sessions; under ThreadSanitizer each runs several
  # times slower, and beside another test its deadlines are missed: they run alone there.
  if(NX_TSAN AND "gui" IN_LIST T_LABELS)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
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
    nx_test_limit(${target}_exports)
  endif()
endfunction()

# nx_add_fuzz_target(NAME SOURCES a.cpp ... LIBS x y [CORPUS dir])
# A libFuzzer target beside a room's tests: the sources define LLVMFuzzerTestOneInput
# (and may define LLVMFuzzerInitialize). CORPUS (default corpus/NAME, beside the
# sources) holds the committed seeds.
# - With NX_FUZZ: executable fuzz_NAME, part of the `fuzz` target, and the ctest test
#   fuzz_NAME (label fuzz) that runs it for NX_FUZZ_SECONDS on a working copy of the
#   corpus in the build tree; what it finds lands in fuzz-artifacts/.
# - Otherwise, with tests: fuzzreplay_NAME runs every seed once through the same code
#   under the build's own compiler and sanitizers (label unit).
function(nx_add_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_CORPUS)
    set(F_CORPUS corpus/${name})
  endif()
  get_filename_component(corpus ${F_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT IS_DIRECTORY ${corpus})
    message(FATAL_ERROR "fuzz target ${name}: no corpus at ${corpus}")
  endif()
  if(NX_FUZZ)
    add_executable(fuzz_${name} ${F_SOURCES})
    nx_strict(fuzz_${name})
    target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz fuzz_${name})
    set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    set(artifacts ${CMAKE_BINARY_DIR}/fuzz-artifacts)
    file(MAKE_DIRECTORY ${work} ${artifacts})
    add_test(NAME fuzz_${name}
      COMMAND fuzz_${name} -max_total_time=${NX_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
              -print_final_stats=1 -artifact_prefix=${artifacts}/${name}- ${work} ${corpus})
    math(EXPR limit "${NX_FUZZ_SECONDS} + 120")
    set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz TIMEOUT ${limit})
  elseif(NX_BUILD_TESTS)
    add_executable(fuzzreplay_${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/platform/tests/support/nxtest/fuzz_replay.cpp)
    nx_strict(fuzzreplay_${name})
    target_link_libraries(fuzzreplay_${name} PRIVATE ${F_LIBS})
    add_test(NAME fuzzreplay_${name} COMMAND fuzzreplay_${name} ${corpus})
    set_tests_properties(fuzzreplay_${name} PROPERTIES LABELS unit)
    nx_test_limit(fuzzreplay_${name})
  endif()
endfunction()

# nx_install_man(PAGE)
# Installs a room's manual page (name.SECTION) compressed as Debian wants it (gzip -9,
# no name or time stamp), into the section's folder.
function(nx_install_man page)
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section ${name})
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${source} ${gz}
    DEPENDS ${source} COMMENT "Compressing the manual page ${name}" VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
