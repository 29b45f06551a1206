# Packages, made with `cpack` in a build directory:
#   Linux build (build/default):  a .deb with pelorin, the tools, their man
#                                 pages, and examples (systemd units, a
#                                 sysctl.d file) under /usr/share/doc/pelorin;
#   Windows build (build/mingw):  a .zip with the self-contained pelorin.exe and
#                                 a README for Windows users.
# Both land in <build dir>/packages.

set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR "pelorin")
# lintian refuses an address on localhost; .invalid can never be delivered to.
set(CPACK_PACKAGE_CONTACT "pelorin developers <pelorin@pelorin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Record one UDP multicast stream to a file for a fixed time")
set(CPACK_PACKAGE_DESCRIPTION
    "pelorin joins one IPv4 multicast group and stores the payload of every\n\
datagram it receives, back to back and byte-exact, in a file, then stops by\n\
itself after a given number of seconds. Made for recording MPEG transport\n\
streams (IPTV, broadcast contribution) from scripts. The package also holds\n\
pelorin-send and pelorin-check, a test-stream sender and its checker, and\n\
pelorin-inspect, which reads a recorded transport stream's health.")
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
  set(PELORIN_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
  set(PELORIN_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pelorin)
  # Directories cpack makes on its own follow the umask otherwise.
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

  # Debian keeps man pages and changelogs compressed; -n leaves the time stamp
  # out, so the package is the same from one build to the next. Every page in
  # docs/ goes in, so a new tool's page needs no change here. The pages name
  # the version in their footer, as they are read from the source tree too;
  # scripts/check-versions holds it to project()'s.
  file(GLOB PELORIN_MAN_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../docs/*.1)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  set(PELORIN_GZIPPED)
  function(pelorin_gzip source output)
    add_custom_command(OUTPUT ${output}
                       COMMAND gzip -9 -n -c ${source} > ${output}
                       DEPENDS ${source}
                       VERBATIM)
    set(PELORIN_GZIPPED ${PELORIN_GZIPPED} ${output} PARENT_SCOPE)
  endfunction()
  foreach(page IN LISTS PELORIN_MAN_SOURCES)
    get_filename_component(name ${page} NAME)
    configure_file(${page} ${CMAKE_BINARY_DIR}/man/${name} COPYONLY)
    pelorin_gzip(${CMAKE_BINARY_DIR}/man/${name} ${CMAKE_BINARY_DIR}/man/${name}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # The package is native (no separate upstream), so Debian names its
  # changelog changelog.gz rather than changelog.Debian.gz.
  pelorin_gzip(${PELORIN_PACKAGING_DIR}/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_target(pelorin_package_docs ALL DEPENDS ${PELORIN_GZIPPED})

  # The README is what the units' comments point to.
  install(FILES ${PELORIN_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
                ${CMAKE_CURRENT_LIST_DIR}/../README.md ${CMAKE_CURRENT_LIST_DIR}/../docs/README-windows.txt
          DESTINATION ${PELORIN_DOC_DIR})
  # Examples only: nothing under /etc, /lib/systemd or /usr/lib/sysctl.d, so
  # installing the package changes nothing on the system by itself.
  install(FILES ${PELORIN_PACKAGING_DIR}/pelorin@.service
                ${PELORIN_PACKAGING_DIR}/pelorin-segments@.service
                ${PELORIN_PACKAGING_DIR}/pelorin@.timer
                ${PELORIN_PACKAGING_DIR}/example.conf
                ${PELORIN_PACKAGING_DIR}/60-pelorin-rmem.conf
          DESTINATION ${PELORIN_DOC_DIR}/examples)

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
