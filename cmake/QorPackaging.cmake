# What `make install` puts in place and what the Debian package holds, in install components:
#   programs  the commands of QOR_PROGRAMS, into bin
#   manuals   their manual pages, made from their option tables and man/, into share/man/man1
#   completions  their bash completion, into share/bash-completion/completions
#   python    the qor_kelm_git package for the main interpreter (python/CMakeLists.txt)
#   docs      README.md, into share/doc/qor-kelm-git
#   license   LICENSE, next to it (the Debian package carries it as its copyright file)
#   debian    the Debian package's own files (copyright, changelog.gz, lintian overrides);
#             only installed when asked for by name, as the package build does
# The target qor_installables builds exactly what these install, qor_programs the programs.
include(GNUInstallDirs)
# `cmake --install` and CPack install what was built; they do not build the whole tree first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(QOR_DEB_NAME qor-kelm-git)  # Debian package names have no underscores
set(QOR_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QOR_DEB_NAME})

add_custom_target(qor_programs)
foreach(program IN LISTS QOR_PROGRAMS)
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  add_dependencies(qor_programs ${program})
endforeach()

# The manual pages and the bash completion of each program, made from its own option table
# (which the program prints when QOR_CLI_DESCRIBE is set) and, for the pages, the hand-written
# text in man/<program>.txt: cmake/cli_docs.py stops the build when the two disagree. A program
# with subcommands also gets a page per subcommand (qorgit-install.1, ...).
set(manuals "")
set(completions "")
if(QOR_PROGRAMS)
  if(NOT Python_EXECUTABLE)
    find_package(Python COMPONENTS Interpreter REQUIRED)
  endif()
  set(cli_docs ${PROJECT_SOURCE_DIR}/cmake/cli_docs.py)
endif()
foreach(program IN LISTS QOR_PROGRAMS)
  set(stamp ${PROJECT_BINARY_DIR}/man/${program}.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${Python_EXECUTABLE} ${cli_docs} man $<TARGET_FILE:${program}>
            ${PROJECT_SOURCE_DIR}/man/${program}.txt ${PROJECT_VERSION} ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${program} ${cli_docs} ${PROJECT_SOURCE_DIR}/man/${program}.txt
    COMMENT "Manual pages of ${program}"
    VERBATIM)
  list(APPEND manuals ${stamp})
  set(completion ${PROJECT_BINARY_DIR}/completions/${program})
  add_custom_command(OUTPUT ${completion}
    COMMAND ${Python_EXECUTABLE} ${cli_docs} completion $<TARGET_FILE:${program}> ${completion}
    DEPENDS ${program} ${cli_docs}
    COMMENT "bash completion of ${program}"
    VERBATIM)
  list(APPEND completions ${completion})
endforeach()
add_custom_target(qor_manuals ALL DEPENDS ${manuals})
add_custom_target(qor_completions ALL DEPENDS ${completions})
if(QOR_PROGRAMS)
  install(DIRECTORY ${PROJECT_BINARY_DIR}/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT manuals FILES_MATCHING PATTERN "*.1.gz")
  # Where Debian's bash-completion looks (pkg-config --variable=completionsdir bash-completion
  # for /usr; /usr/local/share is on its default XDG_DATA_DIRS too).
  install(FILES ${completions} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          COMPONENT completions)
endif()
add_custom_target(qor_installables DEPENDS qor_programs qor_manuals qor_completions)
if(QOR_BUILD_PYTHON)
  add_dependencies(qor_installables qor_python)
endif()
install(FILES README.md DESTINATION ${QOR_DOC_DIR} COMPONENT docs)
install(FILES LICENSE DESTINATION ${QOR_DOC_DIR} COMPONENT license)

if(NOT (QOR_BUILD_PYTHON AND QOR_PROGRAMS))
  return()  # the Debian package needs the whole product
endif()

# Debian's copyright file: the licence in the machine-readable format.
file(STRINGS LICENSE license_lines)
list(GET license_lines 2 notice)  # "Copyright (c) <year> <holder>"
string(REPLACE "Copyright (c) " "" notice "${notice}")
list(SUBLIST license_lines 4 -1 license_lines)  # the permission notice and the disclaimer
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
              "Upstream-Name: ${PROJECT_NAME}\n\nFiles: *\n"
              "Copyright: ${notice}\nLicense: Expat\n")
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    string(APPEND copyright " .\n")
  else()
    string(APPEND copyright " ${line}\n")
  endif()
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright ${copyright})
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright DESTINATION ${QOR_DOC_DIR}
        COMPONENT debian EXCLUDE_FROM_ALL)

# The changelog a native Debian package carries, compressed reproducibly (gzip -n).
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(QOR_DEB_MAINTAINER "qor_kelm_git developers <qor-kelm-git@example.org>" CACHE STRING
    "Maintainer of the Debian package")
file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog
     "${QOR_DEB_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${QOR_DEB_MAINTAINER}  ${changelog_date}\n")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog)
add_custom_target(qor_deb_changelog DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${QOR_DOC_DIR}
        COMPONENT debian EXCLUDE_FROM_ALL)

# The programs are static on purpose: git starts the merge driver once per notebook, and a static
# program starts in half the time.
set(overrides "")
foreach(program IN LISTS QOR_PROGRAMS)
  get_target_property(link_options ${program} LINK_OPTIONS)
  if("-static" IN_LIST link_options)
    string(APPEND overrides "${QOR_DEB_NAME}: statically-linked-binary [usr/bin/${program}]\n")
  elseif("-static-pie" IN_LIST link_options)
    # lintian reads a static position-independent executable as a shared library that names no
    # libraries it needs.
    string(APPEND overrides
           "${QOR_DEB_NAME}: shared-library-lacks-prerequisites [usr/bin/${program}]\n")
  endif()
endforeach()
if(overrides)
  file(WRITE ${PROJECT_BINARY_DIR}/debian/lintian-overrides
       "# git starts the merge driver once per notebook: a static program starts in half the time.\n"
       "${overrides}")
  install(FILES ${PROJECT_BINARY_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${QOR_DEB_NAME}
          COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# Maintainer scripts: compile the package's Python files after installing and remove the
# compiled files before removing, as Debian's Python packages do, so that `dpkg -r` leaves no
# __pycache__ behind.
foreach(script postinst prerm)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${script}.in
                 ${PROJECT_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()

set(python_version ${QOR_PYTHON_${QOR_PYTHON_MAIN_TAG}_VERSION})
string(REPLACE "." ";" python_version_parts ${python_version})
list(GET python_version_parts 1 python_minor)
math(EXPR python_next_minor "${python_minor} + 1")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QOR_DEB_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the qor_kelm_git developers")
set(CPACK_PACKAGE_CONTACT ${QOR_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "merge driver and diff engine for pipeline notebooks")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION  # the lines after the summary
    "Git's merge driver for Jupyter notebooks whose cells carry a pipeline-canvas
model: qormerge merges the base, current and incoming notebooks component by
component, qordiff shows what changed between two versions, and the Python
package qor_kelm_git gives Python callers the same engine.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION vcs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "git, python3 (>= 3.${python_minor}~), python3 (<< 3.${python_next_minor})")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Graphviz and civetweb (qordiff, qorgit)
# qorgit resolve opens its page with $BROWSER or the desktop's opener.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Install with the real prefix under a staging DESTDIR, so that the Python site directory is
# the one Debian's python3 uses for /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} programs /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} manuals /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} completions /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} python /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} docs /
    ${PROJECT_BINARY_DIR} ${PROJECT_NAME} debian /)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
include(CPack)
