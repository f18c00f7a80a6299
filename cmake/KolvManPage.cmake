# kolv_install_man_page(PAGE COMPONENT): installs packaging/man/PAGE (e.g. kolv-camera.1), with
# @PROJECT_VERSION@ filled in, compressed as Debian has it (gzip -9n: no name or time inside, so the same bytes every build)
# into share/man/manN, with the install component COMPONENT.
function(kolv_install_man_page page component)
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${page})
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  string(REGEX MATCH "[0-9]$" section ${page})
  configure_file(${source} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  execute_process(COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/man/${page} OUTPUT_FILE ${compressed} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n packaging/man/${page} failed (${status})")
  endif()
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
