# Run by CPack once the packages are made (CPACK_POST_BUILD_SCRIPTS): the
# packages whose shared libraries the ldconfig trigger looks after lose the
# postinst and postrm that CPack writes for them, which call ldconfig
# directly and would do the same work again.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package ${name})
  if(NOT package IN_LIST CPACK_KEL_LDCONFIG_TRIGGERED)
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/retouched/${package})
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/retouched)
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()
