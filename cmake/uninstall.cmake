# `make uninstall`: removes the files listed in MANIFEST (one absolute path a line, as
# `cmake --install` records them; the last line has no newline) under DESTDIR, with the files
# Python compiled from them (__pycache__/<name>.*.pyc), then the directories left empty: up to DESTDIR when one is given (a staging root holds only what the
# install put there), else only the project's own (qor_kelm_git, qor-kelm-git).
#   cmake -DMANIFEST=<file> [-DDESTDIR=<dir>] -P uninstall.cmake
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: no install from this build for this PREFIX and "
                      "DESTDIR${DESTDIR} (no ${MANIFEST})")
endif()
if(DESTDIR)
  get_filename_component(DESTDIR "${DESTDIR}" ABSOLUTE)
endif()

file(STRINGS "${MANIFEST}" files)
set(dirs "")
foreach(file IN LISTS files)
  set(path "${DESTDIR}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
  get_filename_component(dir "${path}" DIRECTORY)
  list(APPEND dirs "${dir}")
  if(file MATCHES "\\.py$")
    get_filename_component(name "${path}" NAME_WE)
    file(GLOB compiled "${dir}/__pycache__/${name}.*.pyc")
    if(compiled)
      file(REMOVE ${compiled})
      list(APPEND dirs "${dir}/__pycache__")
    endif()
  endif()
endforeach()

# Empty directories, deepest first.
set(candidates "")
foreach(dir IN LISTS dirs)
  while(NOT dir STREQUAL "/" AND NOT dir STREQUAL "${DESTDIR}")
    if(DESTDIR OR dir MATCHES "/(qor_kelm_git|qor-kelm-git)(/|$)")
      list(APPEND candidates "${dir}")
    endif()
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES candidates)
list(SORT candidates ORDER DESCENDING)  # a directory sorts after its parent
foreach(dir IN LISTS candidates)
  file(GLOB entries "${dir}/*" "${dir}/.*")
  if(IS_DIRECTORY "${dir}" AND NOT entries)
    file(REMOVE_RECURSE "${dir}")
  endif()
endforeach()
file(REMOVE "${MANIFEST}")
