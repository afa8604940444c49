# PDFium is never linked: the PDF library loads it at run time from the folder "pdfium"
# beside the executable. This places one copy in the build's bin/pdfium, where every test,
# tool and benchmark of the build tree lives, and installs it to VELA_PDFIUM_INSTALL_DIR.
set(VELA_PDFIUM_LIBRARY "" CACHE FILEPATH "A libpdfium.so to use instead of fetching the pinned npm package")

if(NOT VELA_PDFIUM_LIBRARY)
  execute_process(
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/fetch-pdfium.sh
    OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_VARIABLE fetch_error
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "Could not obtain PDFium:\n${fetch_error}")
  endif()
  set(pdfium_source ${fetched})
else()
  set(pdfium_source ${VELA_PDFIUM_LIBRARY})
endif()
if(NOT EXISTS ${pdfium_source})
  message(FATAL_ERROR "PDFium library not found at ${pdfium_source}")
endif()
message(STATUS "PDFium: ${pdfium_source}")

set(VELA_PDFIUM_BUILD_COPY ${CMAKE_BINARY_DIR}/bin/pdfium/libpdfium.so)
add_custom_command(OUTPUT ${VELA_PDFIUM_BUILD_COPY}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/pdfium
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${pdfium_source} ${VELA_PDFIUM_BUILD_COPY}
  DEPENDS ${pdfium_source}
  COMMENT "Placing PDFium beside the executables")
add_custom_target(vela_pdfium ALL DEPENDS ${VELA_PDFIUM_BUILD_COPY})
if(VELA_PACKAGING)
  # Debian installs shared libraries stripped and without the executable bit; the published
  # library still carries its symbol table.
  set(pdfium_stripped ${CMAKE_BINARY_DIR}/packaging/libpdfium.so)
  add_custom_command(OUTPUT ${pdfium_stripped}
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${pdfium_stripped} ${pdfium_source}
    DEPENDS ${pdfium_source}
    COMMENT "Stripping PDFium for the package")
  add_custom_target(vela_pdfium_stripped ALL DEPENDS ${pdfium_stripped})
  set(pdfium_source ${pdfium_stripped})
  set(pdfium_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
else()
  set(pdfium_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
endif()
install(FILES ${pdfium_source} DESTINATION ${VELA_PDFIUM_INSTALL_DIR} COMPONENT libs
  PERMISSIONS ${pdfium_permissions})
