# vela_add_library(NAME SOURCES ... PUBLIC_HEADERS ... LINK_PUBLIC ... LINK_PRIVATE ...)
# A shared library with hidden symbols, whose public headers install flat into include/Vela
# (include/Vela6 for Qt 6) and whose target joins the exported package as Vela::NAME
# (Vela6::NAME, file libNAME6.so). The export macro header of
# the library (for example vlpdf_export.h) is hand-written and listed in PUBLIC_HEADERS;
# the library is built with <UPPERNAME>_LIBRARY defined so that the macro exports.
function(vela_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_HEADERS;LINK_PUBLIC;LINK_PRIVATE" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES} ${ARG_PUBLIC_HEADERS})
  string(TOUPPER ${name} upper)
  target_compile_definitions(${name} PRIVATE ${upper}_LIBRARY)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${VELA_PACKAGE}>)
  target_link_libraries(${name} PUBLIC ${ARG_LINK_PUBLIC} PRIVATE ${ARG_LINK_PRIVATE})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${name}${VELA_NAME_SUFFIX}
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER "${ARG_PUBLIC_HEADERS}")
  # The versioned file goes with the run-time package, the unversioned link with the headers.
  install(TARGETS ${name} EXPORT VelaTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libs
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${VELA_PACKAGE} COMPONENT dev)
  set_property(GLOBAL APPEND PROPERTY VELA_EXPORTED_LIBRARIES ${name})
endfunction()

# vela_add_program(NAME SOURCES ...)
# An installed executable of the tools package. The Qt 6 build names its file NAME6, so that
# both builds can be installed into one prefix.
function(vela_add_program name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${name}${VELA_NAME_SUFFIX})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endfunction()

# vela_add_test(NAME SOURCES ... LINK ... [RESOURCES ...])
# One QtTest executable registered with CTest. Tests run offscreen with a private
# temporary folder per test, so they never touch the user's real folders.
function(vela_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LINK;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt${QT_MAJOR_VERSION}::Test ${ARG_LINK})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${ARG_ENVIRONMENT}")
  if(TARGET vela_pdfium)
    add_dependencies(${name} vela_pdfium)
  endif()
endfunction()

# True when every subsystem named in DIR/VELA_NEEDS (one per line) is in this build and
# already has its folder.
function(vela_needs_met dir out)
  set(met TRUE)
  if(EXISTS ${dir}/VELA_NEEDS)
    file(STRINGS ${dir}/VELA_NEEDS needs)
    foreach(need IN LISTS needs)
      if(NOT need IN_LIST VELA_SUBSYSTEMS OR NOT EXISTS ${PROJECT_SOURCE_DIR}/${need}/CMakeLists.txt)
        set(met FALSE)
      endif()
    endforeach()
  endif()
  set(${out} ${met} PARENT_SCOPE)
endfunction()
