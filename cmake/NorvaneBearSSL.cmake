# Gives the build the target BearSSL::BearSSL, one of two ways:
#  - the system's BearSSL (Debian's libbearssl-dev; FindBearSSL), when found;
#  - else BearSSL 0.6 built here from the source tarball that the sdist
#    bundles (third_party/, put into a checkout by scripts/fetch-sources,
#    or downloaded by the build when a checkout lacks it), after checking it
#    against the SHA-256 pinned in third_party/sources.txt
#    (NorvaneBundledSource).
# NORVANE_BEARSSL picks: AUTO (that order), SYSTEM or BUNDLED. Either way the
# library is linked statically and the configure log says which one it is.
#
# Errors are single lines (a leading space keeps CMake from re-wrapping
# them) that say what is missing and how to get it.

set(NORVANE_BEARSSL AUTO CACHE STRING
  "BearSSL to build with: AUTO (the system's if found, else the bundled source), SYSTEM or BUNDLED")
set_property(CACHE NORVANE_BEARSSL PROPERTY STRINGS AUTO SYSTEM BUNDLED)
set(NORVANE_BEARSSL_BUNDLED OFF)
include(NorvaneBundledSource)
norvane_system_or_bundled(CHOICE NORVANE_BEARSSL PACKAGE BearSSL DISPLAY BearSSL DEBIAN_PACKAGE libbearssl-dev
  FOUND _norvane_system_bearssl)
if(_norvane_system_bearssl)
  return()
endif()

norvane_bundled_source(NAME bearssl DISPLAY BearSSL DEBIAN_PACKAGE libbearssl-dev
  SOURCE_DIR _bearssl_root VERSION _bearssl_version FILE _bearssl_file ORIGIN _bearssl_origin)
if(NOT EXISTS "${_bearssl_root}/inc/bearssl.h" OR NOT EXISTS "${_bearssl_root}/src/inner.h")
  message(FATAL_ERROR " third_party/${_bearssl_file} does not hold BearSSL's source tree: fetch it again with scripts/fetch-sources, or download the sdist again")
endif()

norvane_bundled_c_compiler(BearSSL libbearssl-dev)

# The symmetric part of BearSSL is all the core uses (AES, GHASH and GCM,
# ChaCha20, Poly1305, SHA-256 and the byte codecs); TLS, X.509, the
# public-key code and the random generators are left out. The archive lends
# the link only the objects that are called.
file(GLOB _bearssl_sources
  "${_bearssl_root}/src/aead/*.c"
  "${_bearssl_root}/src/codec/*.c"
  "${_bearssl_root}/src/hash/*.c"
  "${_bearssl_root}/src/symcipher/*.c")
add_library(norvane_bearssl STATIC ${_bearssl_sources})
add_library(BearSSL::BearSSL ALIAS norvane_bearssl)
set_target_properties(norvane_bearssl PROPERTIES
  EXPORT_NAME bearssl
  OUTPUT_NAME norvane_bearssl
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET default)
target_include_directories(norvane_bearssl
  PUBLIC $<BUILD_INTERFACE:${_bearssl_root}/inc>
  PRIVATE ${_bearssl_root}/src)
# The flags of BearSSL's own build and of Debian's package: optimised for
# size (-Os comes after the build type's -O level, so it wins), position-
# independent, the stack protector and fortified C library calls. No BR_*
# macro is set, as in both: BearSSL's inner.h then compiles, beside the
# portable constant-time code, the AES-NI/PCLMUL/SSE2 implementations with
# per-function target attributes, and the core picks among them at run time.
target_compile_options(norvane_bearssl PRIVATE -Os -fstack-protector-strong)
target_compile_definitions(norvane_bearssl PRIVATE _FORTIFY_SOURCE=2)

# The installed C++ package carries the bundled library with the core
# (norvane::bearssl), so that its users need no BearSSL either.
if(NORVANE_INSTALL_CORE)
  include(GNUInstallDirs)
  install(TARGETS norvane_bearssl EXPORT norvaneTargets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
endif()

set(NORVANE_BEARSSL_BUNDLED ON)
message(STATUS "BearSSL: bundled ${_bearssl_version}, built from ${_bearssl_origin} (SHA-256 checked)")
