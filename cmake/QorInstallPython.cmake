# Install-time part of `make install` for the Python package: copies the assembled package
# QOR_PACKAGE_DIR/qor_kelm_git, with only the extension modules named with QOR_PYTHON_EXT_SUFFIX,
# into the site directory that the interpreter QOR_PYTHON uses for CMAKE_INSTALL_PREFIX.
# Modules are stripped (with QOR_STRIP) when the install strips. file(INSTALL) applies DESTDIR and records every file in the install manifest.
execute_process(
  COMMAND ${QOR_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/python_site.py ${CMAKE_INSTALL_PREFIX}
  OUTPUT_VARIABLE site RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Cannot find the site directory of ${QOR_PYTHON} for ${CMAKE_INSTALL_PREFIX}")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${QOR_PACKAGE_DIR}
     ${QOR_PACKAGE_DIR}/qor_kelm_git/*)
foreach(file IN LISTS files)
  if(file MATCHES "__pycache__/" OR (file MATCHES "\\.so$" AND NOT file MATCHES
                                     "${QOR_PYTHON_EXT_SUFFIX}$"))
    continue()
  endif()
  get_filename_component(dir ${file} DIRECTORY)
  file(INSTALL ${QOR_PACKAGE_DIR}/${file} DESTINATION ${site}/${dir} USE_SOURCE_PERMISSIONS)
  if(CMAKE_INSTALL_DO_STRIP AND file MATCHES "\\.so$")
    execute_process(COMMAND ${QOR_STRIP} --strip-unneeded "$ENV{DESTDIR}${site}/${file}")
  endif()
endforeach()
