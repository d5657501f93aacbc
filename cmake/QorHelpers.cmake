# Warnings, sanitizers and test registration shared by every target of the project.

# Turns on the project's warnings (and sanitizers, when asked) for one of our own targets.
function(qor_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(QOR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(QOR_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                              -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
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
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QOR_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()
