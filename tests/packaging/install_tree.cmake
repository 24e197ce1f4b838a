# cmake -DBUILD_DIR=build -DPREFIX=dir -DPAGE=man/wendrel.1 [-DMIME_PAGE=man/wendrel-mime.1] -DLIBDIR=lib
#       -DVERSION=1.4 -P install_tree.cmake
#
# `cmake --install` into an empty prefix must give exactly the programs and
# their compressed manual pages: wendrel, and wendrel-mime when MIME_PAGE is
# given (a build with WENDREL_MIME); and the library with its header,
# pkg-config file and page. Each program runs from there, and each page
# unpacks to its source page from a gzip header without name or time stamp.
file(REMOVE_RECURSE "${PREFIX}")
# Both would send the files elsewhere or install links instead of copies.
unset(ENV{DESTDIR})
unset(ENV{CMAKE_INSTALL_MODE})
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (exit ${result}):\n${out}")
endif()

set(expected bin/wendrel share/man/man1/wendrel.1.gz
    include/wendrel.h ${LIBDIR}/libwendrel.so ${LIBDIR}/libwendrel.so.1 ${LIBDIR}/libwendrel.so.${VERSION}.0
    ${LIBDIR}/pkgconfig/wendrel.pc
    share/man/man3/libwendrel.3.gz ${EXTRA_FILES})
if(DEFINED MIME_PAGE)
  list(APPEND expected bin/wendrel-mime share/man/man1/wendrel-mime.1.gz)
endif()
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed files: ${installed}\nexpected: ${expected}")
endif()

execute_process(COMMAND "${PREFIX}/bin/wendrel" -h
                OUTPUT_VARIABLE out ERROR_VARIABLE usage RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT usage MATCHES "\nwendrel/${VERSION} by ")
  message(FATAL_ERROR "installed wendrel -h (exit ${result}):\n${usage}")
endif()

if(DEFINED MIME_PAGE)
  execute_process(COMMAND "${PREFIX}/bin/wendrel-mime" --version
                  OUTPUT_VARIABLE out ERROR_VARIABLE error RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT out STREQUAL "wendrel-mime (wendrel/${VERSION})\n" OR NOT error STREQUAL "")
    message(FATAL_ERROR "installed wendrel-mime --version (exit ${result}):\n${out}${error}")
  endif()
endif()

find_program(GZIP gzip REQUIRED)
# The installed page.1.gz must be gzip -n output that unpacks to source.
function(check_page page source)
  set(page_gz "${PREFIX}/share/man/man1/${page}.gz")
  file(READ "${page_gz}" header HEX LIMIT 10)
  # Magic, deflate, flags 0 (no name), time stamp 0.
  if(NOT header MATCHES "^1f8b080000000000")
    message(FATAL_ERROR "${page_gz} header is not that of gzip -n: ${header}")
  endif()
  execute_process(COMMAND "${GZIP}" -dc "${page_gz}" OUTPUT_VARIABLE unpacked RESULT_VARIABLE result)
  file(READ "${source}" text)
  if(NOT result EQUAL 0 OR NOT unpacked STREQUAL text)
    message(FATAL_ERROR "${page_gz} does not unpack to ${source}")
  endif()
endfunction()
check_page(wendrel.1 "${PAGE}")
if(DEFINED MIME_PAGE)
  check_page(wendrel-mime.1 "${MIME_PAGE}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
