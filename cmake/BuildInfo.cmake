# Writes the build identification header (version, source revision, compiler,
# machine, time, user) used by the keyword strings compiled into every library.
# Run as a script at build time:
#   cmake -DOUT=<header> -DSRC=<source dir> -DVERSION=<x.y.z> -DCOMPILER=<text> -P BuildInfo.cmake
# The header is rewritten only when something other than the time changed, so
# an unchanged tree does not relink every library on each build.

find_package(Git QUIET)
set(REVISION "unknown")
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SRC}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE _rev RESULT_VARIABLE _rc ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_rc EQUAL 0 AND NOT _rev STREQUAL "")
    set(REVISION "${_rev}")
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SRC}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE _dirty ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT _dirty STREQUAL "")
      set(REVISION "${REVISION}-dirty")
    endif()
  endif()
endif()

cmake_host_system_information(RESULT MACHINE QUERY HOSTNAME)
if(DEFINED ENV{USER} AND NOT "$ENV{USER}" STREQUAL "")
  set(USER "$ENV{USER}")
else()
  execute_process(COMMAND id -un OUTPUT_VARIABLE USER ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(USER STREQUAL "")
  set(USER "unknown")
endif()

set(_key "${VERSION}|${REVISION}|${COMPILER}|${MACHINE}|${USER}")
set(_stamp "${OUT}.key")
if(EXISTS "${OUT}" AND EXISTS "${_stamp}")
  file(READ "${_stamp}" _old)
  if(_old STREQUAL _key)
    return()
  endif()
endif()

string(TIMESTAMP TIME "%Y/%m/%d %H:%M:%S")
file(WRITE "${OUT}.tmp"
"// Generated at build time; do not edit.
#pragma once
#define VARNEK_BUILD_VERSION \"${VERSION}\"
#define VARNEK_BUILD_REVISION \"${REVISION}\"
#define VARNEK_BUILD_COMPILER \"${COMPILER}\"
#define VARNEK_BUILD_MACHINE \"${MACHINE}\"
#define VARNEK_BUILD_TIME \"${TIME}\"
#define VARNEK_BUILD_USER \"${USER}\"
")
file(RENAME "${OUT}.tmp" "${OUT}")
file(WRITE "${_stamp}" "${_key}")
