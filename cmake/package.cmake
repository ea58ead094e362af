# The Debian package, built from this build by CPack:
#   cmake --build build --target package     ->  build/vantrel_<version>_<arch>.deb
# The programs in /usr/bin, the dashboard in /usr/share/vantrel/web, the
# working folder /var/lib/vantrel whose resources/web leads to it, the systemd
# unit, the manual pages, the licence (as the package's copyright file) and
# the changelog. The
# maintainer scripts in packaging/ make the account and handle purge.
# Dependencies on shared libraries are worked out by dpkg-shlibdeps.

install(TARGETS vantrel vantrel-collect RUNTIME DESTINATION bin)
install(DIRECTORY resources/web/ DESTINATION share/vantrel/web)
install(FILES packaging/vantrel.service DESTINATION /lib/systemd/system)
install(CODE [[
  file(MAKE_DIRECTORY "$ENV{DESTDIR}/var/lib/vantrel/resources")
  file(CREATE_LINK /usr/share/vantrel/web "$ENV{DESTDIR}/var/lib/vantrel/resources/web" SYMBOLIC)
]])

set(_package_docs ${CMAKE_BINARY_DIR}/package-docs)
file(MAKE_DIRECTORY ${_package_docs})

# The changelog's newest entry must name this version.
file(STRINGS packaging/changelog _top LIMIT_COUNT 1)
if(NOT _top MATCHES "^vantrel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry is not version ${PROJECT_VERSION}: ${_top}")
endif()
add_custom_command(OUTPUT ${_package_docs}/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_package_docs}/changelog.gz
  DEPENDS packaging/changelog)
foreach(_page vantrel.1 vantrel-collect.1)
  configure_file(packaging/${_page} ${_package_docs}/${_page} @ONLY)
  add_custom_command(OUTPUT ${_package_docs}/${_page}.gz
    COMMAND gzip -9n -c ${_package_docs}/${_page} > ${_package_docs}/${_page}.gz
    DEPENDS ${_package_docs}/${_page})
  list(APPEND _manual_pages ${_package_docs}/${_page}.gz)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${_package_docs}/changelog.gz ${_manual_pages})
install(FILES ${_package_docs}/changelog.gz DESTINATION share/doc/vantrel)
install(FILES ${_manual_pages} DESTINATION share/man/man1)

# The copyright file in Debian's machine-readable form, carrying LICENSE.
if(EXISTS ${CMAKE_SOURCE_DIR}/LICENSE)
  file(STRINGS LICENSE _licence)
  set(_holder "The Vantrel developers")
  foreach(_line IN LISTS _licence)
    if(_line MATCHES "^Copyright \\(c\\) (.*)$")
      set(_holder ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(_copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\nUpstream-Name: vantrel\n\n"
                 "Files: *\nCopyright: ${_holder}\nLicense: Expat\n")
  foreach(_line IN LISTS _licence)
    if(_line STREQUAL "")
      string(APPEND _copyright " .\n")
    else()
      string(APPEND _copyright " ${_line}\n")
    endif()
  endforeach()
  file(WRITE ${_package_docs}/copyright "${_copyright}")
  install(FILES ${_package_docs}/copyright DESTINATION share/doc/vantrel)
else()
  message(WARNING "No LICENSE file: the package would have no copyright file")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vantrel developers <maintainers@vantrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host flow monitor naming the process behind each flow")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Vantrel reads the IPv4 packets of one interface, folds them into flows, names"
  "the local process, account and domain behind each TCP and UDP flow, and"
  "exports finished flows to a collector, as its own datagrams or as IPFIX. A web"
  "dashboard shows counters, open flows and port owners and changes the settings."
  "vantrel-collect receives exported flows and prints them, or keeps them in an"
  "SQLite file that its query command answers from.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
