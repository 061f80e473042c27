# FindBearSSL - Debian's libbearssl-dev ships headers and a static,
# position-independent library, but no pkg-config or CMake package file.
# Defines the imported target BearSSL::BearSSL, linked statically so that
# everything built on the core carries it.
find_path(BearSSL_INCLUDE_DIR NAMES bearssl.h)
find_library(BearSSL_LIBRARY NAMES libbearssl.a bearssl)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(BearSSL REQUIRED_VARS BearSSL_LIBRARY BearSSL_INCLUDE_DIR)

if(BearSSL_FOUND AND NOT TARGET BearSSL::BearSSL)
  add_library(BearSSL::BearSSL UNKNOWN IMPORTED)
  set_target_properties(BearSSL::BearSSL PROPERTIES
    IMPORTED_LOCATION "${BearSSL_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${BearSSL_INCLUDE_DIR}")
endif()
mark_as_advanced(BearSSL_INCLUDE_DIR BearSSL_LIBRARY)
