# Run by CPack once it has made the Debian packages (CPACK_POST_BUILD_SCRIPTS in
# KolvPackage.cmake). CPack gives a package with a shared library a postinst and a postrm that
# only run ldconfig; a package whose "activate-noawait ldconfig" trigger does that already gets
# them taken out, as Debian has it.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(triggers "")
  if(EXISTS "${tree}/DEBIAN/triggers")
    file(READ "${tree}/DEBIAN/triggers" triggers)
  endif()
  set(changed FALSE)
  if(triggers MATCHES "(^|\n)activate-noawait ldconfig\n")
    foreach(script postinst postrm)
      if(EXISTS "${tree}/DEBIAN/${script}")
        file(READ "${tree}/DEBIAN/${script}" text)
        # What is left once the shell line, set -e and the guarded ldconfig call are gone.
        string(REGEX REPLACE "^#![^\n]*\n" "" rest "${text}")
        string(REGEX REPLACE "set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then[ \t\n]*ldconfig[ \t\n]*fi|[ \t\n]"
                             "" rest "${rest}")
        if(rest STREQUAL "")
          file(REMOVE "${tree}/DEBIAN/${script}")
          set(changed TRUE)
        else()
          message(WARNING "${deb}: ${script} does more than run ldconfig; left as it is")
        endif()
      endif()
    endforeach()
  endif()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${deb}" OUTPUT_QUIET
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
