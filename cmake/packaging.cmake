# Installation and packages.
#   Linux:   bin/cddaplay, lib/cddaplay/libwnaspi32.so (a private folder: the program finds it through
#            its RUNPATH $ORIGIN/../lib/cddaplay, no other program picks it up), share/man/man1/cddaplay.1;
#            CPack makes a Debian package with its run-time dependencies declared.
#   Windows: cddaplay.exe, our WNASPI32.DLL beside it (the program loads it from its own folder) and
#            the README, at the top of one zip per build (win32, win64).
include(GNUInstallDirs)

if(TARGET cddaplay AND TARGET wnaspi32)
  if(WIN32)
    install(TARGETS cddaplay wnaspi32 RUNTIME DESTINATION . COMPONENT program)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT program)
  else()
    install(TARGETS cddaplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
    set_target_properties(wnaspi32 PROPERTIES INSTALL_RPATH "")  # it needs nothing of ours
    install(TARGETS wnaspi32 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/cddaplay NAMELINK_SKIP COMPONENT program)
    # Debian's policy: the man page and the changelog compressed (gzip -9n: no name or time stamp,
    # so the bytes do not change from build to build), the copyright file beside the changelog.
    find_program(GZIP gzip REQUIRED)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/cddaplay.1.gz ${CMAKE_BINARY_DIR}/deb/changelog.gz
                       COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/cddaplay.1 > ${CMAKE_BINARY_DIR}/deb/cddaplay.1.gz
                       COMMAND ${GZIP} -9n -c ${CMAKE_BINARY_DIR}/deb/changelog > ${CMAKE_BINARY_DIR}/deb/changelog.gz
                       DEPENDS ${PROJECT_SOURCE_DIR}/man/cddaplay.1 ${CMAKE_BINARY_DIR}/deb/changelog)
    add_custom_target(cddaplay_deb_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/deb/cddaplay.1.gz ${CMAKE_BINARY_DIR}/deb/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/deb/cddaplay.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)
  endif()
endif()

set(CPACK_PACKAGE_NAME cddaplay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "cddaplay")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "plays audio CDs digitally through a SCSI pass-through library")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "cddaplay finds the CD-ROM units behind its ASPI32 pass-through library, reads\n"
    "the disc's table of contents and plays the audio digitally: raw CD-DA sectors\n"
    "read with READ CD go unchanged to the sound device. It also plays CUE sheet\n"
    "images through the library's virtual drives.")
set(CPACK_PACKAGE_CONTACT "cddaplay developers <dev@cddaplay.example>")
set(CPACK_COMPONENTS_ALL program)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME cddaplay-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME cddaplay-${PROJECT_VERSION}-win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL OFF)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  # Declared by hand (Debian 12 names): alsa-lib for sound. libsndfile reads the audio files a
  # sheet may name and is loaded only then; BIN images and real drives play without it.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libasound2 (>= 1.2)")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsndfile1")
endif()
# Only the program's component: nothing the tests or benchmarks build goes into a package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};program;/")
include(CPack)
