# Debian packages: one package per install component, made by CPack's DEB
# generator (`make package`). Each package gets its own name, section,
# description and dependencies, and carries usr/share/doc/<package>/ with
# the copyright file (the MIT licence) and the changelog, gzipped.
#
# A component becomes a package by one call, from any CMakeLists.txt read
# before kel_deb_finish() at the end of the top-level one:
#
#   kel_deb_package(COMPONENT python NAME python3-kelisi SECTION python
#     SUMMARY "reads ISI index files from Python"
#     DESCRIPTION "A longer text, one paragraph,\nlines of at most 79 characters."
#     DEPENDS "libkelisi1 (>= ${KEL_DEB_VERSION})" python3
#     ARCH_INDEPENDENT)
#
# COMPONENT   the install component whose files the package holds
#             (install(... COMPONENT python))
# NAME        the package name
# SECTION     the archive section (libs, libdevel, utils, python, ...)
# SUMMARY     the one-line synopsis; DESCRIPTION the text below it
# DEPENDS     dependencies; the package's own libraries are versioned
#             against ${KEL_DEB_VERSION}
# SHLIBDEPS   let dpkg-shlibdeps add the dependencies of its binaries
#             (those of libraries outside this project)
# ARCH_INDEPENDENT  Architecture: all
# COPYRIGHT, CHANGELOG  files of its own instead of the project's
# LDCONFIG_TRIGGER  the package holds shared libraries of the linker's
#             path: the ldconfig trigger updates the linker's cache
# CONTROL_EXTRA  more files for the package's control archive
#
# The package's doc files are installed for the package alone: a plain
# `cmake --install` (make install) leaves them out.
include_guard(GLOBAL)

set(KEL_DEB_VERSION ${PROJECT_VERSION})
set(KEL_DEB_MAINTAINER "kelindex maintainers <maintainers@kelindex.invalid>")
set(KEL_DEB_DOC_DIR ${CMAKE_BINARY_DIR}/debian-doc)
set(KEL_DEB_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# The project's copyright file: the licence with the copyright line.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE KEL_LICENSE_TEXT)
file(WRITE ${KEL_DEB_DOC_DIR}/copyright
     "kelindex: builds, checks and reads ISI index files.\n\n"
     "It is distributed under the MIT licence:\n\n${KEL_LICENSE_TEXT}")

# The changelog's newest entry is this version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog _kel_changelog_top LIMIT_COUNT 1)
if(NOT _kel_changelog_top MATCHES "^kelindex \\(${KEL_DEB_VERSION}\\) ")
  message(WARNING "cmake/debian/changelog has no entry for version ${KEL_DEB_VERSION} at the top")
endif()

# `gzip -9n`: compressed as Debian wants its documentation, without a time
# stamp, so that the same sources give the same package.
function(kel_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER "${output}" target)
  add_custom_target(gz_${target} ALL DEPENDS ${output})
endfunction()

kel_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${KEL_DEB_DOC_DIR}/changelog.gz)

function(kel_deb_package)
  cmake_parse_arguments(P "SHLIBDEPS;ARCH_INDEPENDENT;LDCONFIG_TRIGGER"
    "COMPONENT;NAME;SECTION;SUMMARY;DESCRIPTION;COPYRIGHT;CHANGELOG" "DEPENDS;CONTROL_EXTRA"
    ${ARGN})
  foreach(required COMPONENT NAME SECTION SUMMARY DESCRIPTION)
    if(NOT P_${required})
      message(FATAL_ERROR "kel_deb_package: ${required} is missing")
    endif()
  endforeach()
  string(TOUPPER ${P_COMPONENT} c)
  set_property(GLOBAL APPEND PROPERTY KEL_DEB_COMPONENTS ${P_COMPONENT})
  set_property(GLOBAL PROPERTY KEL_DEB_${c}_PACKAGE_NAME ${P_NAME})
  set_property(GLOBAL PROPERTY KEL_DEB_${c}_PACKAGE_SECTION ${P_SECTION})
  set_property(GLOBAL PROPERTY KEL_DEB_${c}_DESCRIPTION "${P_SUMMARY}\n${P_DESCRIPTION}")
  list(JOIN P_DEPENDS ", " depends)
  set_property(GLOBAL PROPERTY KEL_DEB_${c}_PACKAGE_DEPENDS "${depends}")
  set_property(GLOBAL PROPERTY KEL_DEB_${c}_PACKAGE_SHLIBDEPS ${P_SHLIBDEPS})
  if(P_LDCONFIG_TRIGGER)
    file(WRITE ${KEL_DEB_DOC_DIR}/${P_NAME}/triggers "activate-noawait ldconfig\n")
    list(APPEND P_CONTROL_EXTRA ${KEL_DEB_DOC_DIR}/${P_NAME}/triggers)
    set_property(GLOBAL APPEND PROPERTY KEL_DEB_LDCONFIG_TRIGGERED ${P_NAME})
  endif()
  set_property(GLOBAL PROPERTY KEL_DEB_${c}_PACKAGE_CONTROL_EXTRA ${P_CONTROL_EXTRA})
  if(P_ARCH_INDEPENDENT)
    set_property(GLOBAL PROPERTY KEL_DEB_${c}_PACKAGE_ARCHITECTURE all)
  endif()

  if(NOT P_COPYRIGHT)
    set(P_COPYRIGHT ${KEL_DEB_DOC_DIR}/copyright)
  endif()
  set(changelog ${KEL_DEB_DOC_DIR}/changelog.gz)
  if(P_CHANGELOG)
    set(changelog ${KEL_DEB_DOC_DIR}/${P_NAME}.changelog.gz)
    kel_gzip(${P_CHANGELOG} ${changelog})
  endif()
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${P_NAME})
  install(FILES ${P_COPYRIGHT} DESTINATION ${doc} COMPONENT ${P_COMPONENT} EXCLUDE_FROM_ALL)
  install(FILES ${changelog} DESTINATION ${doc} RENAME changelog.gz
          COMPONENT ${P_COMPONENT} EXCLUDE_FROM_ALL)
endfunction()

# The CPack setup of every package declared: called once, last.
function(kel_deb_finish)
  get_property(components GLOBAL PROPERTY KEL_DEB_COMPONENTS)
  foreach(component ${components})
    string(TOUPPER ${component} c)
    foreach(field PACKAGE_NAME PACKAGE_SECTION DESCRIPTION PACKAGE_DEPENDS PACKAGE_SHLIBDEPS
                  PACKAGE_ARCHITECTURE PACKAGE_CONTROL_EXTRA)
      get_property(value GLOBAL PROPERTY KEL_DEB_${c}_${field})
      set(CPACK_DEBIAN_${c}_${field} "${value}")
    endforeach()
    set(CPACK_DEBIAN_${c}_FILE_NAME DEB-DEFAULT)
  endforeach()
  set(CPACK_COMPONENTS_ALL ${components})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGE_NAME kelindex)
  set(CPACK_PACKAGE_VERSION ${KEL_DEB_VERSION})
  set(CPACK_PACKAGE_VENDOR kelindex)
  set(CPACK_PACKAGE_CONTACT "${KEL_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KEL_DEB_MAINTAINER}")
  set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_STRIP_FILES ON)
  # libkelisi1's shlibs file: a program linked against libkelisi.so.1
  # needs libkelisi1 of this version or later.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  get_property(CPACK_KEL_LDCONFIG_TRIGGERED GLOBAL PROPERTY KEL_DEB_LDCONFIG_TRIGGERED)
  set(CPACK_POST_BUILD_SCRIPTS ${KEL_DEB_CMAKE_DIR}/debian/drop_ldconfig_scripts.cmake)
  include(CPack)
endfunction()
