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

# qor_program(<target>): one of the commands. Every command lands in <build>/bin.
function(qor_program target)
  qor_target_options(${target})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endfunction()

# Links a program statically when asked (sanitizer builds need the shared runtimes), as a
# static position-independent executable where the toolchain makes one. Such a program is laid
# out at a random address, and finds its unwind tables through their sorted index: a plain static
# program sorts all of them at its first exception (a source merge with conflicts, an error),
# which costs a millisecond of processor time.
if(QOR_STATIC_PROGRAMS AND NOT QOR_SANITIZE AND NOT QOR_BUILD_FUZZ)
  include(CheckLinkerFlag)
  check_linker_flag(CXX -static-pie QOR_HAVE_STATIC_PIE)
endif()
function(qor_static_program target)
  if(QOR_STATIC_PROGRAMS AND NOT QOR_SANITIZE AND NOT QOR_BUILD_FUZZ)
    if(QOR_HAVE_STATIC_PIE)
      target_link_options(${target} PRIVATE -static-pie)
    else()
      target_link_options(${target} PRIVATE -static)
    endif()
  endif()
endfunction()
