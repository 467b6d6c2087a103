# Shared build helpers for every subsystem.

find_package(Threads REQUIRED)

# Project code is warning-clean under g++; third-party headers come in as
# SYSTEM. Warnings fail the build only where we choose the compiler and its
# flags (the dev, asan and tsan presets, and so CI): a packager or a newer
# compiler with different diagnostics must still get a build.
option(ORV_WERROR "Treat warnings as errors" OFF)
function(orv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(ORV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(ORV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()

# orv_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>]
#          [TIMEOUT <s>])
# One test executable registered as one CTest test; label "unit" by default.
function(orv_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ORV_BUILD_TESTS)
    return()
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  orv_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()

set(ORV_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs under CTest")

# orv_fuzzer(NAME <name> SOURCES <files...> [LIBS <libs...>] CORPUS <dir>)
# A libFuzzer target, plus a CTest "fuzz" test that runs it briefly on its corpus.
function(orv_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT ORV_BUILD_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS ${ORV_FUZZ_SECONDS})
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_include_directories(${F_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
  add_test(NAME ${F_NAME}
           COMMAND ${F_NAME} -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048
                   ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}_corpus ${F_CORPUS})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}_corpus)
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()
