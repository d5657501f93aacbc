# The Python interpreters the extension modules are built for: the one pybind11 found
# (Python_EXECUTABLE) and each one listed in QOR_EXTRA_PYTHONS. Every interpreter gets its own
# module targets, compiled against its headers and named with its EXT_SUFFIX, and all of them
# link the one core library; a further interpreter costs only the compilation of the bindings.
#
# An interpreter is known by its tag (py311, py38): QOR_PYTHON_TAGS lists them, the main one
# first, and for each tag QOR_PYTHON_<tag>_EXECUTABLE, _VERSION (3.8), _INCLUDE, _EXT_SUFFIX
# and _TARGET_SUFFIX (empty for the main interpreter, "_<tag>" for the others, appended to the
# names of that interpreter's targets) describe it.

# qor_python_interpreter(<executable> <main>): adds one interpreter to QOR_PYTHON_TAGS; <main> is
# ON for the interpreter pybind11 found.
function(qor_python_interpreter executable main)
  execute_process(
    COMMAND ${executable} -c
      "import sys, sysconfig; print('%d%d;%d.%d;%s;%s' % (sys.version_info[:2] + sys.version_info[:2] + (sysconfig.get_paths()['include'], sysconfig.get_config_var('EXT_SUFFIX'))))"
    OUTPUT_VARIABLE info RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "The Python interpreter ${executable} does not run")
  endif()
  list(GET info 0 digits)
  list(GET info 1 version)
  list(GET info 2 include)
  list(GET info 3 ext_suffix)
  set(tag py${digits})
  if(tag IN_LIST QOR_PYTHON_TAGS)
    message(STATUS "Python ${version} (${executable}): modules already built for it")
    return()
  endif()
  if(NOT EXISTS ${include}/Python.h)
    message(FATAL_ERROR "No Python.h in ${include}: the headers of ${executable} are missing")
  endif()
  set(QOR_PYTHON_${tag}_EXECUTABLE ${executable} PARENT_SCOPE)
  set(QOR_PYTHON_${tag}_VERSION ${version} PARENT_SCOPE)
  set(QOR_PYTHON_${tag}_INCLUDE ${include} PARENT_SCOPE)
  set(QOR_PYTHON_${tag}_EXT_SUFFIX ${ext_suffix} PARENT_SCOPE)
  if(main)
    set(QOR_PYTHON_${tag}_TARGET_SUFFIX "" PARENT_SCOPE)
    set(QOR_PYTHON_MAIN_TAG ${tag} PARENT_SCOPE)
  else()
    set(QOR_PYTHON_${tag}_TARGET_SUFFIX _${tag} PARENT_SCOPE)
    message(STATUS "Python ${version} (${executable}): modules built for it too")
  endif()
  set(QOR_PYTHON_TAGS ${QOR_PYTHON_TAGS} ${tag} PARENT_SCOPE)
endfunction()

set(QOR_PYTHON_TAGS "")
qor_python_interpreter(${Python_EXECUTABLE} ON)
foreach(executable IN LISTS QOR_EXTRA_PYTHONS)
  qor_python_interpreter(${executable} OFF)
endforeach()

# qor_python_library(<target> <tag> MODULE|STATIC <sources...>): a library compiled against the
# headers of interpreter <tag>; a MODULE is named as that interpreter imports it.
function(qor_python_library target tag kind)
  add_library(${target} ${kind} ${ARGN})
  target_include_directories(${target} SYSTEM PUBLIC ${QOR_PYTHON_${tag}_INCLUDE})
  target_link_libraries(${target} PUBLIC pybind11::headers)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden)
  if(kind STREQUAL "MODULE")
    set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ${QOR_PYTHON_${tag}_EXT_SUFFIX})
  endif()
  qor_target_options(${target})
endfunction()
