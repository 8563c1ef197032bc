# Toolchain of the 32-bit x86 target: the host's multilib g++ with -m32, and
# the i386 libraries with compiled code (omniORB, GoogleTest, Google
# Benchmark) from a private sysroot of unpacked Debian packages, which
# `./dev.sh setup --i386` fills (build-i386/sysroot/ by default; another one
# is named with -DVARNEK_I386_SYSROOT=<dir> or the environment variable of
# the same name). Header-only libraries and build tools (omniidl) are the
# host's.
#
# Test programs and servers run straight from the build tree: the sysroot's
# library directory is in their RPATH (not RUNPATH, so that omniORB's own
# libraries find each other there too). VARNEK_TOOLCHAIN_ENV lists the
# environment that programs built outside CMake (the install test's
# consumers) need to compile and run against the same libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-m32 -Wl,--disable-new-dtags")
endforeach()
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

if(NOT VARNEK_I386_SYSROOT)
  if(DEFINED ENV{VARNEK_I386_SYSROOT})
    set(VARNEK_I386_SYSROOT "$ENV{VARNEK_I386_SYSROOT}")
  else()
    get_filename_component(VARNEK_I386_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-i386/sysroot" ABSOLUTE)
  endif()
endif()
set(VARNEK_I386_SYSROOT "${VARNEK_I386_SYSROOT}" CACHE PATH "Unpacked i386 packages (./dev.sh setup --i386)")
# try_compile projects read this file again; hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARNEK_I386_SYSROOT)

set(_varnek_i386_libdir "${VARNEK_I386_SYSROOT}/usr/lib/i386-linux-gnu")
if(NOT EXISTS "${_varnek_i386_libdir}/pkgconfig/omniORB4.pc")
  message(FATAL_ERROR "no i386 sysroot in ${VARNEK_I386_SYSROOT}: run ./dev.sh setup --i386")
endif()

# find_package: the sysroot's CMake packages (GTest, benchmark) first, the
# host's architecture-independent ones (nlohmann_json, CLI11) after it.
list(PREPEND CMAKE_PREFIX_PATH "${VARNEK_I386_SYSROOT}/usr")
# pkg-config: only the sysroot's .pc files, never the host's x86-64 ones.
set(_varnek_i386_pc "${_varnek_i386_libdir}/pkgconfig:${VARNEK_I386_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_LIBDIR} "${_varnek_i386_pc}")
set(CMAKE_BUILD_RPATH "${_varnek_i386_libdir}")
# Headers that differ between architectures (OpenSSL's configuration.h)
# live in the multiarch include folder of the sysroot's packages.
foreach(lang C CXX)
  list(APPEND CMAKE_${lang}_STANDARD_INCLUDE_DIRECTORIES "${VARNEK_I386_SYSROOT}/usr/include/i386-linux-gnu")
endforeach()

set(VARNEK_TOOLCHAIN_ENV
  "PKG_CONFIG_LIBDIR=${_varnek_i386_pc}"
  "LD_LIBRARY_PATH=${_varnek_i386_libdir}"
  "VARNEK_I386_SYSROOT=${VARNEK_I386_SYSROOT}")
