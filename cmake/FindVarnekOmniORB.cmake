# FindVarnekOmniORB: omniORB 4 (the ORB and its dynamic library) for the
# Varnek libraries and their consumers, found through omniORB's pkg-config
# files (omniORB4.pc, omniDynamic4.pc). Used by the build and installed
# beside VarnekConfig.cmake, which finds it with find_dependency.
#
# Gives the imported target PkgConfig::VarnekOmniORB (include directories,
# compile flags and libraries of both modules; its name is also in
# VarnekOmniORB_TARGET), VarnekOmniORB_FOUND and VarnekOmniORB_VERSION
# (omniORB4's version). A second call in a scope that already sees the
# target only reports it found.
include(FindPackageHandleStandardArgs)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND NOT TARGET PkgConfig::VarnekOmniORB)
  pkg_check_modules(VarnekOmniORB QUIET IMPORTED_TARGET omniORB4 omniDynamic4)
endif()
set(VarnekOmniORB_VERSION "${VarnekOmniORB_omniORB4_VERSION}")
if(TARGET PkgConfig::VarnekOmniORB)
  set(VarnekOmniORB_TARGET PkgConfig::VarnekOmniORB)
else()
  set(VarnekOmniORB_TARGET "")
endif()
find_package_handle_standard_args(VarnekOmniORB
  REQUIRED_VARS VarnekOmniORB_TARGET PKG_CONFIG_EXECUTABLE
  VERSION_VAR VarnekOmniORB_VERSION
  REASON_FAILURE_MESSAGE "needs pkg-config and the pkg-config files omniORB4 and omniDynamic4")
