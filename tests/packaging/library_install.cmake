# cmake -DBUILD_DIR=build -DPREFIX=dir -DSOURCE_DIR=. -DCC=cc -P library_install.cmake
#
# What a program outside the project sees of the library: installed into an
# empty prefix, a C99 program built from the installed header alone with
# pkg-config's flags (warnings as errors) runs against it, and the library
# exports nothing but wendrel_ names.
file(REMOVE_RECURSE "${PREFIX}")
unset(ENV{DESTDIR})
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (exit ${result}):\n${out}")
endif()

file(GLOB_RECURSE pc_files "${PREFIX}/*/wendrel.pc")
list(LENGTH pc_files found)
if(NOT found EQUAL 1)
  message(FATAL_ERROR "expected one installed wendrel.pc, found: ${pc_files}")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
get_filename_component(lib_dir "${pc_dir}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
find_program(PKG_CONFIG pkg-config REQUIRED)
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs wendrel OUTPUT_VARIABLE flags RESULT_VARIABLE result
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs wendrel failed")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")

# The header alone: the example is compiled outside the source tree.
set(program "${PREFIX}/list_attachments")
execute_process(COMMAND "${CC}" -std=c99 -Wall -Wextra -Wpedantic -Werror
                        "${SOURCE_DIR}/examples/list_attachments.c" -o "${program}" ${flags}
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building against the installed library failed:\n${out}")
endif()
set(ENV{LD_LIBRARY_PATH} "${lib_dir}")
execute_process(COMMAND "${program}" "${SOURCE_DIR}/examples/sample.tnef"
                OUTPUT_VARIABLE listing ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT listing STREQUAL "figures.csv\t-\t32 bytes\n")
  message(FATAL_ERROR "the program built against the installed library printed (exit ${result}):\n${listing}${error}")
endif()

find_program(NM nm REQUIRED)
execute_process(COMMAND "${NM}" -D --defined-only "${lib_dir}/libwendrel.so.1"
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
string(REGEX REPLACE "[^\n]* [A-Za-z] " "" names "${symbols}")
string(REPLACE "\n" ";" names "${names}")
foreach(name IN LISTS names)
  if(NOT name STREQUAL "" AND NOT name MATCHES "^wendrel_" AND NOT name STREQUAL "WENDREL_1")
    message(FATAL_ERROR "libwendrel.so.1 exports ${name}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
