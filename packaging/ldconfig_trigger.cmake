# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS).
#
# libwendrel1 has ldconfig run by its trigger (activate-noawait ldconfig), as
# Debian's libraries do; CPack still writes a postinst and a postrm that call
# ldconfig themselves, so the package is rebuilt without them.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  if(NOT name MATCHES "^libwendrel1_")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${DPKG_DEB}" -R "${package}" "${tree}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${package} failed")
  endif()
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND "${DPKG_DEB}" --root-owner-group -b "${tree}" "${package}"
                  OUTPUT_QUIET RESULT_VARIABLE result)
  file(REMOVE_RECURSE "${tree}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${package} failed")
  endif()
endforeach()
