# Installs the build once whole and once per component, the way the Debian packages are cut,
# and checks that every installed file lands in exactly one package and in the right one: a
# header in the run-time package or a library missing from every package fails here, not on
# a user's machine.
cmake_policy(VERSION 3.16)
file(REMOVE_RECURSE ${VELA_WORK_DIR})

macro(install_into prefix)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${VELA_BUILD_DIR} --prefix ${prefix} ${ARGN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Install failed (${rc}) ${ARGN}:\n${out}")
  endif()
endmacro()

function(files_under prefix out)
  file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
  list(SORT found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

install_into(${VELA_WORK_DIR}/all)
files_under(${VELA_WORK_DIR}/all all)

# What each package must hold (a file's path relative to the prefix matches one expression;
# the library folder may be a multiarch one, and a packaging build adds its own files).
set(libdir "^lib(/[a-z0-9_]+-[a-z0-9_-]+)?")
# Helper programs the libraries start live in libexec and go with them.
set(libs_rules "${libdir}/lib[A-Za-z0-9]+\\.so\\.[0-9]" "^bin/pdfium/" "${libdir}/vela[0-9]*/"
  "^libexec/" "^share/doc/lib[a-z0-9]+-?[0-9]+/" "^share/lintian/")
set(dev_rules "^include/" "${libdir}/cmake/" "${libdir}/lib[A-Za-z0-9]+\\.so$" "^share/doc/[^/]+-dev/")
set(tools_rules "^bin/[^/]+$" "^share/vela[0-9]*/samples/" "^share/man/man1/" "^share/applications/"
  "^share/icons/" "^share/doc/[^/]+-tools/")

set(claimed "")
foreach(component IN ITEMS libs dev tools)
  install_into(${VELA_WORK_DIR}/${component} --component ${component})
  files_under(${VELA_WORK_DIR}/${component} files)
  foreach(file IN LISTS files)
    if(file IN_LIST claimed)
      message(FATAL_ERROR "${file} is in two packages (again in ${component})")
    endif()
    list(APPEND claimed ${file})
    set(matched FALSE)
    foreach(rule IN LISTS ${component}_rules)
      if(file MATCHES "${rule}")
        set(matched TRUE)
      endif()
    endforeach()
    if(NOT matched)
      message(FATAL_ERROR "${file} is in the ${component} package, where it does not belong")
    endif()
  endforeach()
  # Every package has something: a rule that names the wrong component empties one.
  if(NOT files)
    message(FATAL_ERROR "The ${component} package is empty")
  endif()
endforeach()

foreach(file IN LISTS all)
  if(NOT file IN_LIST claimed)
    message(FATAL_ERROR "${file} is installed but in none of the packages")
  endif()
endforeach()
list(LENGTH all count)
message(STATUS "${count} installed files, each in exactly one package")
