# FindSodium - libsodium's header and its static library (Debian's
# libsodium-dev ships both, beside a shared library that is never used
# here: the core links libsodium statically, so that everything built on it
# carries it, as it does BearSSL). Defines the imported target
# Sodium::Sodium. Where libsodium is required and missing, configuration
# stops with one line that says how to get it. (norvane's own build asks
# for it through NorvaneSodium, which builds the bundled source instead
# when the system has none.)
#
# Debian builds libsodium.a as position-independent executable code, not as
# code for shared objects: a shared object that links it (the Python
# module) must keep libsodium's symbols local, as the module's version
# script does.
find_path(Sodium_INCLUDE_DIR NAMES sodium.h)
find_library(Sodium_LIBRARY NAMES libsodium.a)

if(Sodium_FIND_REQUIRED AND (NOT Sodium_INCLUDE_DIR OR NOT Sodium_LIBRARY))
  # The leading space keeps CMake from re-wrapping the line.
  message(FATAL_ERROR " libsodium's header sodium.h or its static library libsodium.a was not found: install Debian's libsodium-dev (apt-get install libsodium-dev), or set Sodium_ROOT to where it is")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
  # sodium_init takes a mutex: the static library needs the threads library
  # (part of the C library in glibc 2.34 and later).
  find_package(Threads REQUIRED)
  add_library(Sodium::Sodium STATIC IMPORTED)
  set_target_properties(Sodium::Sodium PROPERTIES
    IMPORTED_LOCATION "${Sodium_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Sodium_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)
