# Warnings, sanitizers and test registration shared by every target of the project.

# Sanitizers apply to the whole tree, so that the core, the tests and the fuzz targets agree on
# them. With the fuzz targets, one clang build serves both: everything is compiled with
# libFuzzer's coverage instrumentation (its callbacks resolve to the sanitizer runtime's defaults
# in programs without libFuzzer), and only the fuzz targets link libFuzzer itself.
if(QOR_SANITIZE OR QOR_BUILD_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  if(QOR_BUILD_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()

# Turns on the project's warnings for one of our own targets.
function(qor_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(QOR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# qor_add_test(<name> SOURCES <files...> [LIBS <libs...>]): one GoogleTest program, registered
# in CTest under its own name.
function(qor_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE qor_core GTest::gtest GTest::gtest_main ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  qor_target_options(${name})
  # The test programs' own code needs no heavy optimisation (the code under test is the core's,
  # built as the product is); -O1 compiles GoogleTest's macros much faster.
  target_compile_options(${name} PRIVATE -O1)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QOR_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()
