# Install rules and packages.
#   Linux:   cmake --install puts boxload, boxstation, sdftool and stbsim in bin/ and their manual pages in
#            share/man/man1; cpack -G DEB makes boxload_<version>_<arch>.deb.
#   Windows: cpack -G ZIP makes boxload-<version>-win64.zip with boxload.exe, boxstation.exe,
#            sdftool.exe and README.txt.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME boxload)
set(CPACK_PACKAGE_VENDOR "BOXLOAD developers")
set(CPACK_PACKAGE_CONTACT "BOXLOAD developers <boxload@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reload the software of a KMV-7720P set-top box over a serial line")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS boxload boxstation sdftool RUNTIME DESTINATION .)
  # Notepad of older Windows shows a file without CR LF as one long line.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/README-windows.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "boxload-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  install(TARGETS boxload boxstation sdftool stbsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages name the device paths of this build's port prefix; Debian wants them gzipped
  # reproducibly (no name, no time stamp in the header).
  find_program(BOXLOAD_GZIP gzip REQUIRED)
  set(_man_dir ${CMAKE_BINARY_DIR}/man)
  set(_man_pages)
  foreach(_page boxload boxstation sdftool stbsim)
    configure_file(${CMAKE_SOURCE_DIR}/man/${_page}.1 ${_man_dir}/${_page}.1 @ONLY)
    add_custom_command(OUTPUT ${_man_dir}/${_page}.1.gz
                       COMMAND ${BOXLOAD_GZIP} -9nf -k ${_man_dir}/${_page}.1
                       DEPENDS ${_man_dir}/${_page}.1
                       COMMENT "Compressing ${_page}.1")
    list(APPEND _man_pages ${_man_dir}/${_page}.1.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_man_pages})
  install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The results tables' schema and its migrations, for the database's owner to run by hand.
  install(FILES ${CMAKE_SOURCE_DIR}/data/sql/boxload-schema.sql ${CMAKE_SOURCE_DIR}/data/sql/migrate-1-to-2.sql
          ${CMAKE_SOURCE_DIR}/data/sql/migrate-2-to-3.sql
          DESTINATION ${CMAKE_INSTALL_DATADIR}/boxload/sql)

  # What Debian asks of every package: a copyright file and, for a native package, a changelog.
  set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
  add_custom_command(OUTPUT ${_man_dir}/changelog.gz
                     COMMAND ${BOXLOAD_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_man_dir}/changelog.gz
                     DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
                     COMMENT "Compressing the package changelog")
  add_custom_target(package_changelog ALL DEPENDS ${_man_dir}/changelog.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${_man_dir}/changelog.gz DESTINATION ${_doc_dir})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/boxload")
  # The extended description; CPack puts the summary above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "boxload talks to the box's boot ROM to install its bootloader, then sends
a software image (an SDF file) to that bootloader in acknowledged blocks,
over one port at 115,200 baud 8N1. boxstation updates many boxes at once,
one boxload per port, with a live table and a summary. sdftool makes and
checks SDF files; stbsim simulates the box on a pseudo-terminal for trying
the tool out.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

include(CPack)
