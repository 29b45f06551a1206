# Packages, made with `cpack` in a build directory:
#   Linux build (build/default):  a .deb with pelorin, its man page and the
#                                 test-stream tools;
#   Windows build (build/mingw):  a .zip with the self-contained pelorin.exe and
#                                 a README for Windows users.
# Both land in <build dir>/packages.

set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR "pelorin")
set(CPACK_PACKAGE_CONTACT "pelorin maintainers <pelorin@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Record one UDP multicast stream to a file for a fixed time")
set(CPACK_PACKAGE_DESCRIPTION
    "pelorin joins one IPv4 multicast group and stores the payload of every\n\
datagram it receives, back to back and byte-exact, in a file, then stops by\n\
itself after a given number of seconds. Made for recording MPEG transport\n\
streams (IPTV, broadcast contribution) from scripts. The package also holds\n\
pelorin-send and pelorin-check, a test-stream sender and its checker.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # One folder with pelorin.exe and README.txt, nothing to install: unzip and run.
  install(TARGETS pelorin RUNTIME DESTINATION . COMPONENT windows_zip)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/README-windows.txt
          DESTINATION . RENAME README.txt COMPONENT windows_zip)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME pelorin-${PROJECT_VERSION}-windows-x86_64)
else()
  include(GNUInstallDirs)
  # Debian keeps man pages compressed; -n leaves the time stamp out, so the
  # package is the same from one build to the next.
  set(PELORIN_MAN_PAGE ${CMAKE_BINARY_DIR}/pelorin.1.gz)
  add_custom_command(OUTPUT ${PELORIN_MAN_PAGE}
                     COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/../docs/pelorin.1 > ${PELORIN_MAN_PAGE}
                     DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../docs/pelorin.1
                     VERBATIM)
  add_custom_target(pelorin_man_page ALL DEPENDS ${PELORIN_MAN_PAGE})
  install(FILES ${PELORIN_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries' own packages give the real minimum versions when
  # dpkg-shlibdeps (dpkg-dev) is there; otherwise name them plainly.
  find_program(PELORIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(PELORIN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()

include(CPack)
