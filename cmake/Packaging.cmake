# Installation and the Debian packages.
#
#   cmake --install build --prefix DIR   DIR/bin/ the programs, DIR/share/man/ their pages,
#                                        and the library: DIR/lib/libwendrel.so*,
#                                        DIR/lib/pkgconfig/wendrel.pc, DIR/include/wendrel.h
#                                        and libwendrel(3); the Python module when built
#   cd build && cpack -G DEB             wendrel_<version>_<arch>.deb, libwendrel1_..., libwendrel-dev_...
#                                        and python3-wendrel_..., each with its own
#                                        /usr/share/doc/<package>/{copyright,changelog.gz}
#
# Name and version come from the project() line. The manual pages and the
# changelog are compressed at build time with gzip -9n, as Debian does, so
# the same sources always give the same bytes. The packages' dependencies
# come from dpkg-shlibdeps: libc alone for wendrel and the library, GMime
# (libgmime-3.0-0) and the C++ run-time for wendrel-mime and wendrel-json.

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
set(_wendrel_json_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/wendrel-json.1.gz)
if(WENDREL_MIME)
  list(APPEND _wendrel_compressed "man/wendrel-mime.1|${_wendrel_mime_man_gz}" "man/wendrel-json.1|${_wendrel_json_man_gz}")
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
  install(FILES ${_wendrel_mime_man_gz} ${_wendrel_json_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT wendrel)
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

# One Debian package per component: wendrel (the programs and their pages),
# libwendrel1 (the library), libwendrel-dev (what building against it needs)
# and python3-wendrel (the Python module, when it is built). Each has its own
# /usr/share/doc/<package>/ with the copyright and the changelog, which only
# the packages take (a plain install leaves them out).
set(_wendrel_packages wendrel libwendrel1 libwendrel-dev)
if(WENDREL_PYTHON)
  list(APPEND _wendrel_packages python3-wendrel)
endif()
foreach(_package IN LISTS _wendrel_packages)
  install(FILES packaging/copyright ${_wendrel_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}
          COMPONENT ${_package} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the wendrel developers")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_wendrel_packages})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_wendrel_dir_permissions})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(WENDREL_PACKAGE_MAINTAINER "The wendrel developers <wendrel@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WENDREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libwendrel1 says which version of it a program built against it needs
# (its shlibs file), and has ldconfig run by a trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The summary line of each package is the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(_wendrel_about "Some mail programs wrap a rich message, its properties and its attachments
into one TNEF stream (Transport Neutral Encapsulation Format), which arrives
as an attachment called winmail.dat of type application/ms-tnef.")

set(CPACK_DEBIAN_WENDREL_PACKAGE_NAME wendrel)
set(CPACK_DEBIAN_WENDREL_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_WENDREL_DESCRIPTION "decoder for TNEF streams (winmail.dat)
${_wendrel_about}
wendrel prints what such a stream holds: subject, identifiers, dates,
priority, status, message class, body text, attachment titles and the string
properties of its MAPI property lists; with -s it saves the attachments and
bodies in the current directory, never outside it.")
if(WENDREL_MIME)
  set(CPACK_DEBIAN_WENDREL_DESCRIPTION "decoder for TNEF streams (winmail.dat), and converter to MIME
${_wendrel_about}
wendrel prints what such a stream holds and with -s saves the attachments
and bodies in the current directory, never outside it.
.
wendrel-mime turns TNEF into ordinary MIME mail, as a filter in mail delivery
or on a saved winmail.dat. wendrel-json writes a JSON account of everything
a stream, or every TNEF part of a message, holds.")
  # Attachments without a MIME type of their own are typed by their extension
  # from /etc/mime.types.
  set(CPACK_DEBIAN_WENDREL_PACKAGE_RECOMMENDS media-types)
endif()

set(CPACK_DEBIAN_LIBWENDREL1_PACKAGE_NAME libwendrel1)
set(CPACK_DEBIAN_LIBWENDREL1_PACKAGE_SECTION libs)
# A trigger runs ldconfig (CPack's own scripts that call it are taken out
# after the packages are made).
set(CPACK_DEBIAN_LIBWENDREL1_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/libwendrel1/triggers)
set(CPACK_DEBIAN_LIBWENDREL1_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/ldconfig_trigger.cmake)
set(CPACK_DEBIAN_LIBWENDREL1_DESCRIPTION "decoder for TNEF streams (winmail.dat) - library
${_wendrel_about}
libwendrel decodes such a stream for other programs: every attribute and
MAPI property, the recipients, the attachments and attached messages, the
bodies, calendar items and contacts, and the damage met. Any number of
decoders run at once in any threads.")

set(CPACK_DEBIAN_LIBWENDREL-DEV_PACKAGE_NAME libwendrel-dev)
set(CPACK_DEBIAN_LIBWENDREL-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBWENDREL-DEV_PACKAGE_DEPENDS "libwendrel1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBWENDREL-DEV_DESCRIPTION "decoder for TNEF streams (winmail.dat) - development files
${_wendrel_about}
This package holds what building a program against libwendrel needs: the
C header wendrel.h, the pkg-config file and the manual page libwendrel(3).")

set(CPACK_DEBIAN_PYTHON3-WENDREL_PACKAGE_NAME python3-wendrel)
set(CPACK_DEBIAN_PYTHON3-WENDREL_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-WENDREL_PACKAGE_DEPENDS "python3 (>= 3.11), python3 (<< 3.12)")
set(CPACK_DEBIAN_PYTHON3-WENDREL_DESCRIPTION "decoder for TNEF streams (winmail.dat) - Python module
${_wendrel_about}
import wendrel; wendrel.decode(data) gives what such a stream holds as
Python objects: the message, its properties, recipients, attachments with
their names and data, bodies and calendar item.")

include(CPack)
