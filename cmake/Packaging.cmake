# Installation and the Debian package.
#
#   cmake --install build --prefix DIR   DIR/bin/wendrel, DIR/bin/wendrel-mime and
#                                        DIR/share/man/man1/{wendrel,wendrel-mime}.1.gz,
#                                        nothing else (without WENDREL_MIME, only
#                                        wendrel and its page)
#   cd build && cpack -G DEB             wendrel_<version>_<arch>.deb, which adds
#                                        /usr/share/doc/wendrel/{copyright,changelog.gz}
#
# Name and version come from the project() line. The manual pages and the
# changelog are compressed at build time with gzip -9n, as Debian does, so
# the same sources always give the same bytes. The package's dependencies
# come from dpkg-shlibdeps: libc alone for wendrel, GMime (libgmime-3.0-0)
# and the C++ run-time for wendrel-mime.

include(GNUInstallDirs)
find_program(WENDREL_GZIP gzip REQUIRED)

set(_wendrel_gzip_script ${CMAKE_CURRENT_LIST_DIR}/GzipFile.cmake)
set(_wendrel_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/wendrel.1.gz)
set(_wendrel_mime_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/wendrel-mime.1.gz)
set(_wendrel_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man ${CMAKE_CURRENT_BINARY_DIR}/packaging)

set(_wendrel_lib_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/libwendrel.3.gz)
set(_wendrel_compressed "man/wendrel.1|${_wendrel_man_gz}" "packaging/changelog|${_wendrel_changelog_gz}"
    "man/libwendrel.3|${_wendrel_lib_man_gz}")
if(WENDREL_MIME)
  list(APPEND _wendrel_compressed "man/wendrel-mime.1|${_wendrel_mime_man_gz}")
endif()
set(_wendrel_compressed_outputs "")
foreach(_pair IN LISTS _wendrel_compressed)
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _input)
  list(GET _pair 1 _output)
  add_custom_command(OUTPUT ${_output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_CURRENT_SOURCE_DIR}/${_input}
            -DOUTPUT=${_output} -DGZIP=${WENDREL_GZIP} -P ${_wendrel_gzip_script}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${_input} ${_wendrel_gzip_script}
    COMMENT "Compressing ${_input} with gzip -9n"
    VERBATIM)
  list(APPEND _wendrel_compressed_outputs ${_output})
endforeach()
add_custom_target(wendrel_compressed_docs ALL DEPENDS ${_wendrel_compressed_outputs})

# Directories made by the install get 0755 whatever the umask.
set(_wendrel_dir_permissions
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_wendrel_dir_permissions})

install(TARGETS wendrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wendrel)
install(FILES ${_wendrel_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT wendrel)
if(WENDREL_MIME)
  install(TARGETS wendrel-mime RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wendrel)
  install(FILES ${_wendrel_mime_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT wendrel)
endif()
# The library: libwendrel.so.1 for programs that use it, and for building
# them the header, the libwendrel.so link, the pkg-config file and the page.
install(TARGETS wendrel_shared
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libwendrel1 NAMELINK_COMPONENT libwendrel-dev)
install(FILES include/wendrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libwendrel-dev)
# The file finds its prefix from where it lies, so that a tree installed with
# --prefix anywhere (or moved) still builds against itself.
file(RELATIVE_PATH WENDREL_PC_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" WENDREL_PC_PREFIX "${WENDREL_PC_PREFIX}")
configure_file(packaging/wendrel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/wendrel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/wendrel.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libwendrel-dev)
install(FILES ${_wendrel_lib_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libwendrel-dev)

# Only the package takes these (see CPACK_INSTALL_CMAKE_PROJECTS below).
install(FILES packaging/copyright ${_wendrel_changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian_docs EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the wendrel developers")
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_CURRENT_BINARY_DIR};${PROJECT_NAME};wendrel;/"
  "${CMAKE_CURRENT_BINARY_DIR};${PROJECT_NAME};debian_docs;/")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_wendrel_dir_permissions})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}_${PROJECT_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(WENDREL_PACKAGE_MAINTAINER "The wendrel developers <wendrel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WENDREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decoder for TNEF streams (winmail.dat)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Some mail programs wrap a rich message, its properties and its attachments
into one TNEF stream (Transport Neutral Encapsulation Format), which arrives
as an attachment called winmail.dat of type application/ms-tnef.
wendrel prints what such a stream holds: subject, identifiers, dates,
priority, status, message class, body text, attachment titles and the string
properties of its MAPI property lists; with -s it saves the attachments and
compressed RTF bodies in the current directory, never outside it.")
if(WENDREL_MIME)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decoder for TNEF streams (winmail.dat), and converter to MIME")
  string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "
.
wendrel-mime turns TNEF into ordinary MIME mail, as a filter in mail delivery
or on a saved winmail.dat: the bodies as text, HTML and iCalendar parts, each
attachment and attached message as a part of its own, every other part of the
message as it was.")
  # Attachments without a MIME type of their own are typed by their extension
  # from /etc/mime.types.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS media-types)
endif()

include(CPack)
