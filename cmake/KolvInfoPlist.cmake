# The camera reads its Info dictionary from the Info.plist beside its executable (build tree)
# or from ${CMAKE_INSTALL_DATADIR}/kolv-camera/Info.plist (installed).
set(KOLV_INFO_PLIST ${CMAKE_CURRENT_LIST_DIR}/../resources/Info.plist)
cmake_path(NORMAL_PATH KOLV_INFO_PLIST)

# kolv_add_info_plist(<target>): copies resources/Info.plist into the folder of <target>'s
# output file whenever <target> is built. Works for targets of any directory.
function(kolv_add_info_plist target)
  add_custom_target(${target}_info_plist
    COMMAND ${CMAKE_COMMAND} -E make_directory $<TARGET_FILE_DIR:${target}>
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${KOLV_INFO_PLIST} $<TARGET_FILE_DIR:${target}>/Info.plist
    DEPENDS ${KOLV_INFO_PLIST}
    COMMENT "Copying Info.plist beside ${target}"
    VERBATIM)
  add_dependencies(${target} ${target}_info_plist)
endfunction()
