# Installation and packaging: kelindex and kelisi, the reader library
# libkelisi (static and shared, soname libkelisi.so.1) with its header, a
# pkg-config file, a CMake package (find_package(kelisi) gives kelisi::kelisi
# and kelisi::kelisi_static) and the man pages; `make package` builds a
# Debian package of it all through CPack. The test programs and kelindex_fi
# are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_target_property(KELISI_VERSION kelisi_shared VERSION)
get_target_property(KELISI_SOVERSION kelisi_shared SOVERSION)

install(TARGETS kelindex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET kelisi)
  install(TARGETS kelisi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The library is C++ inside: a C program that links the static one needs
# the C++ run-time too (the shared one names it itself).
target_link_libraries(kelisi_static INTERFACE $<INSTALL_INTERFACE:stdc++>)
set_target_properties(kelisi_shared PROPERTIES EXPORT_NAME kelisi)
set_target_properties(kelisi_static PROPERTIES EXPORT_NAME kelisi_static)
install(TARGETS kelisi_shared kelisi_static EXPORT kelisiTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/src/kelisi/kelisi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KELISI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelisi)
install(EXPORT kelisiTargets NAMESPACE kelisi:: FILE kelisiTargets.cmake
  DESTINATION ${KELISI_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelisiConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kelisiConfig.cmake INSTALL_DESTINATION ${KELISI_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kelisiConfigVersion.cmake
  VERSION ${KELISI_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kelisiConfig.cmake ${CMAKE_BINARY_DIR}/kelisiConfigVersion.cmake
  DESTINATION ${KELISI_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so that an install
# into another prefix (cmake --install --prefix) needs no new configure.
set(KELISI_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
string(REGEX REPLACE "[^/]+" ".." KELISI_PC_UP "${KELISI_PC_DIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelisi.pc.in ${CMAKE_BINARY_DIR}/kelisi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kelisi.pc DESTINATION ${KELISI_PC_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/man/kelindex.1 ${CMAKE_SOURCE_DIR}/man/kelisi.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(EXISTS ${CMAKE_SOURCE_DIR}/man/kelisi.3)
  install(FILES ${CMAKE_SOURCE_DIR}/man/kelisi.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endif()

# One Debian package with the programs, the library and its development
# files. dpkg-shlibdeps works out the dependencies from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelindex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kelindex")
set(CPACK_PACKAGE_CONTACT "kelindex maintainers <maintainers@kelindex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "builds, checks and reads ISI index files over record-oriented data files")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "kelindex builds B-tree index files (ISI files) of 512-byte sectors over\nfixed-length, variable-length and binary record files, rebuilds them from\nthe command line they store and compacts them in place. kelisi shows,\nsearches and checks them; libkelisi reads them from C and C++ programs.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
