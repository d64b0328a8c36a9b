# Installation and packaging: kelindex and kelisi, the reader library
# libkelisi (static and shared, soname libkelisi.so.1) with its header, a
# pkg-config file, a CMake package (find_package(kelisi) gives kelisi::kelisi
# and kelisi::kelisi_static), the manual pages and bash completion.
#
# Each file belongs to the install component of the Debian package that
# holds it, split as Debian splits a C library:
#   lib       libkelisi1     the shared library
#   dev       libkelisi-dev  header, .so link, static library, pkg-config
#                            file, CMake package, kelisi(3)
#   programs  kelindex       both programs, their manual pages, completion
# The test programs (kelindex_fi among them) are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)

get_target_property(KELISI_VERSION kelisi_shared VERSION)
get_target_property(KELISI_SOVERSION kelisi_shared SOVERSION)

install(TARGETS kelindex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
if(TARGET kelisi)
  install(TARGETS kelisi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()

# The library is C++ inside: a C program that links the static one needs
# the C++ run-time too (the shared one names it itself).
target_link_libraries(kelisi_static INTERFACE $<INSTALL_INTERFACE:stdc++>)
set_target_properties(kelisi_shared PROPERTIES EXPORT_NAME kelisi)
set_target_properties(kelisi_static PROPERTIES EXPORT_NAME kelisi_static)
install(TARGETS kelisi_shared kelisi_static EXPORT kelisiTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/src/kelisi/kelisi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)

set(KELISI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelisi)
install(EXPORT kelisiTargets NAMESPACE kelisi:: FILE kelisiTargets.cmake
  DESTINATION ${KELISI_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelisiConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kelisiConfig.cmake INSTALL_DESTINATION ${KELISI_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kelisiConfigVersion.cmake
  VERSION ${KELISI_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kelisiConfig.cmake ${CMAKE_BINARY_DIR}/kelisiConfigVersion.cmake
  DESTINATION ${KELISI_CMAKE_DIR} COMPONENT dev)

# The .pc file finds its prefix from where it lies, so that an install
# into another prefix (cmake --install --prefix) needs no new configure.
set(KELISI_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
string(REGEX REPLACE "[^/]+" ".." KELISI_PC_UP "${KELISI_PC_DIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelisi.pc.in ${CMAKE_BINARY_DIR}/kelisi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kelisi.pc DESTINATION ${KELISI_PC_DIR} COMPONENT dev)

# The manual pages carry the release's version and date, and are installed
# gzipped.
foreach(page kelindex.1 kelisi.1 kelisi.3)
  configure_file(${CMAKE_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  kel_gzip(${CMAKE_BINARY_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/man/kelindex.1.gz ${CMAKE_BINARY_DIR}/man/kelisi.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
install(FILES ${CMAKE_BINARY_DIR}/man/kelisi.3.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT dev)

# bash completion, where bash-completion looks for it under the prefix.
foreach(program kelindex kelisi)
  install(FILES ${CMAKE_SOURCE_DIR}/completion/${program}.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program}
    COMPONENT programs)
endforeach()

kel_deb_package(COMPONENT lib NAME libkelisi1 SECTION libs
  SUMMARY "reader library for ISI index files"
  DESCRIPTION "libkelisi reads, searches and checks ISI files, the B-tree index files of\n512-byte sectors that kelindex builds over record-oriented data files.\nThis package holds the shared library."
  SHLIBDEPS LDCONFIG_TRIGGER)
kel_deb_package(COMPONENT dev NAME libkelisi-dev SECTION libdevel
  SUMMARY "reader library for ISI index files - development files"
  DESCRIPTION "libkelisi reads, searches and checks ISI files, the B-tree index files of\n512-byte sectors that kelindex builds over record-oriented data files.\nThis package holds the C header, the static library, the pkg-config file,\nthe CMake package and the manual page kelisi(3)."
  DEPENDS "libkelisi1 (= ${KEL_DEB_VERSION})")
kel_deb_package(COMPONENT programs NAME kelindex SECTION utils
  SUMMARY "builds, checks and reads ISI index files"
  DESCRIPTION "kelindex builds B-tree index files (ISI files) of 512-byte sectors over\nfixed-length, variable-length and binary record files, rebuilds them from\nthe command line they store and compacts them in place. kelisi shows,\nsearches, counts and checks them."
  SHLIBDEPS)
