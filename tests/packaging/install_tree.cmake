# cmake -DBUILD_DIR=build -DPREFIX=dir -DPAGE=man/wendrel.1 -DVERSION=1.3 -P install_tree.cmake
#
# `cmake --install` into an empty prefix must give exactly the program and
# its compressed manual page: the program runs, and the page unpacks to the
# source page from a gzip header without name or time stamp.
file(REMOVE_RECURSE "${PREFIX}")
# Both would send the files elsewhere or install links instead of copies.
unset(ENV{DESTDIR})
unset(ENV{CMAKE_INSTALL_MODE})
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (exit ${result}):\n${out}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL "bin/wendrel;share/man/man1/wendrel.1.gz")
  message(FATAL_ERROR "installed files: ${installed}")
endif()

execute_process(COMMAND "${PREFIX}/bin/wendrel" -h
                OUTPUT_VARIABLE out ERROR_VARIABLE usage RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT usage MATCHES "\nwendrel/${VERSION} by ")
  message(FATAL_ERROR "installed wendrel -h (exit ${result}):\n${usage}")
endif()

set(page_gz "${PREFIX}/share/man/man1/wendrel.1.gz")
file(READ "${page_gz}" header HEX LIMIT 10)
# Magic, deflate, flags 0 (no name), time stamp 0.
if(NOT header MATCHES "^1f8b080000000000")
  message(FATAL_ERROR "${page_gz} header is not that of gzip -n: ${header}")
endif()
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND "${GZIP}" -dc "${page_gz}" OUTPUT_VARIABLE unpacked RESULT_VARIABLE result)
file(READ "${PAGE}" source)
if(NOT result EQUAL 0 OR NOT unpacked STREQUAL source)
  message(FATAL_ERROR "${page_gz} does not unpack to ${PAGE}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
