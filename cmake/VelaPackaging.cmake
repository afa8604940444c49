# The Debian packages, made by CPack's DEB generator from the three install components:
#   libs   libvela1 (libvela6-1): the shared libraries, PDFium in its private folder and
#          whatever else is installed without naming a component (helper programs, data)
#   dev    libvela-dev (libvela6-dev): headers, the unversioned links, the CMake package
#   tools  vela-tools (vela6-tools): the programs, their samples, man pages, desktop entries
# The Qt 6 names carry a 6 wherever a file could clash, so both sets install side by side.
# Configure with -DVELA_PACKAGING=ON -DCMAKE_INSTALL_PREFIX=/usr; `cpack` in the build folder
# writes the packages to packages/.

set(VELA_PACKAGE_MAINTAINER "Vela developers <vela-dev@example.org>" CACHE STRING
  "The Maintainer field of the Debian packages")

set(vela_packaging_dir ${PROJECT_SOURCE_DIR}/tools/packaging)
set(vela_packaging_out ${CMAKE_BINARY_DIR}/packaging)
if(VELA_NAME_SUFFIX)
  set(vela_lib_package libvela${VELA_NAME_SUFFIX}-${PROJECT_VERSION_MAJOR})
  set(VELA_DESKTOP_QT " (Qt ${QT_MAJOR_VERSION})")
else()
  set(vela_lib_package libvela${PROJECT_VERSION_MAJOR})
  set(VELA_DESKTOP_QT "")
endif()
set(vela_dev_package libvela${VELA_NAME_SUFFIX}-dev)
set(vela_tools_package vela${VELA_NAME_SUFFIX}-tools)

# Programs that set their own run path for a movable prefix find the libraries on the
# system's path here.
foreach(program IN ITEMS vela-pdf-host)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "")
  endif()
endforeach()

# Man pages, from each program's own --help and --version, so they never drift from it.
find_program(HELP2MAN_EXECUTABLE help2man REQUIRED)
set(vela_man_pages "")
foreach(entry IN ITEMS
    "vela-content|write every page of images and PDF documents as PNG through the content reader"
    "vela-startmenu|show the Vela editor start menu in a window or as a screenshot"
    "VlProcessTerminator|end the Vela engine processes registered in its PID directory"
    "vela-make-samples|draw the sample PDF and PNG that vela-content reads")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 program)
  list(GET entry 1 summary)
  if(NOT TARGET ${program})
    continue()
  endif()
  set(page ${vela_packaging_out}/man/${program}${VELA_NAME_SUFFIX}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${vela_packaging_out}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
      ${HELP2MAN_EXECUTABLE} --no-info --section=1 --name=${summary} --output=${page}
      $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program}
    COMMENT "Writing the man page of ${program}"
    VERBATIM)
  list(APPEND vela_man_pages ${page}.gz)
endforeach()
add_custom_target(vela_man_pages ALL DEPENDS ${vela_man_pages})
install(FILES ${vela_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# Desktop entries and hicolor icons of the two window programs.
if(TARGET vela-startmenu)
  configure_file(${vela_packaging_dir}/vela-startmenu.desktop.in
    ${vela_packaging_out}/vela-startmenu${VELA_NAME_SUFFIX}.desktop @ONLY)
  install(FILES ${vela_packaging_out}/vela-startmenu${VELA_NAME_SUFFIX}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT tools)
  install(FILES ${vela_packaging_dir}/vela-startmenu.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME vela-startmenu${VELA_NAME_SUFFIX}.svg COMPONENT tools)
endif()
if(TARGET VlProcessTerminator)
  configure_file(${vela_packaging_dir}/VlProcessTerminator.desktop.in
    ${vela_packaging_out}/VlProcessTerminator${VELA_NAME_SUFFIX}.desktop @ONLY)
  install(FILES ${vela_packaging_out}/VlProcessTerminator${VELA_NAME_SUFFIX}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/processterminator/images/ika_32.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
    RENAME VlProcessTerminator${VELA_NAME_SUFFIX}.png COMPONENT tools)
endif()

# Every package carries the copyright file and a changelog in its documentation folder.
string(TIMESTAMP vela_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${vela_packaging_out}/changelog
  "vela${VELA_NAME_SUFFIX} (${PROJECT_VERSION}) stable; urgency=medium\n\n"
  "  * Built from the Vela desktop components ${PROJECT_VERSION}.\n\n"
  " -- ${VELA_PACKAGE_MAINTAINER}  ${vela_changelog_date}\n")
execute_process(COMMAND gzip -9nf ${vela_packaging_out}/changelog COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN ITEMS libs dev tools)
  set(package ${vela_${component}_package})
  if(component STREQUAL "libs")
    set(package ${vela_lib_package})
  endif()
  install(FILES ${vela_packaging_dir}/copyright ${vela_packaging_out}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# The library package lets ldconfig run once per dpkg run instead of in its own scripts, and
# explains the lintian findings that are PDFium's, not ours.
file(WRITE ${vela_packaging_out}/triggers "activate-noawait ldconfig\n")
configure_file(${vela_packaging_dir}/lintian-overrides.in
  ${vela_packaging_out}/lintian/${vela_lib_package} @ONLY)
install(FILES ${vela_packaging_out}/lintian/${vela_lib_package}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT libs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vela${VELA_NAME_SUFFIX})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGE_CONTACT "${VELA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE vela${VELA_NAME_SUFFIX})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libs dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Only the library package has shared libraries to describe. Its version is bound exactly:
# the libraries export C++ classes, so a rebuild may change their ABI without a new SONAME.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# The programs link the libraries of the package built beside them, which no installed
# package describes yet: their dependency is written below, exactly.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(vela_exact "${vela_lib_package} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME ${vela_lib_package})
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${vela_packaging_out}/triggers)
set(CPACK_COMPONENT_LIBS_DESCRIPTION
  "Vela desktop components: shared libraries (Qt ${QT_MAJOR_VERSION})
The libraries of the Vela digital-signage engine's desktop components, built
against Qt ${QT_MAJOR_VERSION}: a background content reader with a process-wide image
cache (VlContentReader), a PDF library that loads PDFium at run time (VlPdf),
the editor's start-menu widget (VlEditorStartMenu), a component library
(Ktlib) and the engine core stand-in (VlCore). PDFium comes with them, in a
private folder.")

set(vela_dev_qt qtbase5-dev libqt5svg5-dev)
if(QT_MAJOR_VERSION STREQUAL "6")
  set(vela_dev_qt qt6-base-dev qt6-svg-dev)
endif()
list(JOIN vela_dev_qt ", " vela_dev_qt)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${vela_dev_package})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${vela_exact}, ${vela_dev_qt}, libbotan-2-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Vela desktop components: development files (Qt ${QT_MAJOR_VERSION})
Headers, the unversioned library links and the CMake package
${VELA_PACKAGE} of the Vela desktop components built against Qt ${QT_MAJOR_VERSION}:
find_package(${VELA_PACKAGE}) and link ${VELA_PACKAGE}::VlContentReader and the others.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${vela_tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${vela_exact}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "Vela desktop components: programs (Qt ${QT_MAJOR_VERSION})
vela-content${VELA_NAME_SUFFIX} writes every page of images and PDF documents as PNG
files through the content reader, vela-startmenu${VELA_NAME_SUFFIX} shows the editor start
menu, VlProcessTerminator${VELA_NAME_SUFFIX} ends the engine's registered processes and
vela-make-samples${VELA_NAME_SUFFIX} draws the bundled samples.")

include(CPack)
