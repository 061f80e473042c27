# norvane_bundled_source(NAME <entry> DISPLAY <name> DEBIAN_PACKAGE <package>
#                        SOURCE_DIR <var> VERSION <var> FILE <var>)
#
# Unpacks the pinned source tarball of one entry of third_party/sources.txt
# (fetched into third_party/ by scripts/fetch-sources, carried by the sdist)
# into the build folder, after checking its SHA-256 against the pin, and sets
# SOURCE_DIR to the unpacked tree's top folder, VERSION to the entry's
# version and FILE to the tarball's name. Stops with one line naming the way
# out when the tarball is missing (install DEBIAN_PACKAGE, or build from the
# sdist) or damaged.
function(norvane_bundled_source)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;DISPLAY;DEBIAN_PACKAGE;SOURCE_DIR;VERSION;FILE" "")
  set(table "${PROJECT_SOURCE_DIR}/third_party/sources.txt")
  set(entry "")
  if(EXISTS "${table}")
    file(STRINGS "${table}" entry REGEX "^${arg_NAME}[ \t]")
  endif()
  string(REGEX REPLACE "[ \t]+" ";" entry "${entry}")
  list(LENGTH entry fields)
  if(fields LESS 5)
    message(FATAL_ERROR " ${table} has no complete entry for ${arg_NAME}; restore it from the norvane sources")
  endif()
  list(GET entry 2 version)
  list(GET entry 3 file)
  list(GET entry 4 sha256)
  set(tarball "${PROJECT_SOURCE_DIR}/third_party/${file}")

  if(NOT EXISTS "${tarball}")
    message(FATAL_ERROR " ${arg_DISPLAY} was not found: install Debian's ${arg_DEBIAN_PACKAGE} (apt-get install ${arg_DEBIAN_PACKAGE}), or build from the norvanes sdist, which bundles ${arg_DISPLAY}'s source (in a checkout, scripts/fetch-sources puts it into third_party/)")
  endif()
  file(SHA256 "${tarball}" actual)
  if(NOT actual STREQUAL sha256)
    message(FATAL_ERROR " third_party/${file} is damaged or not the pinned ${arg_DISPLAY} source (SHA-256 ${actual}, expected ${sha256}): fetch it again with scripts/fetch-sources, or download the sdist again")
  endif()

  # Unpacked once per tarball.
  set(dir "${CMAKE_BINARY_DIR}/_bundled/${arg_NAME}")
  set(stamp "${dir}/.sha256")
  set(stamped "")
  if(EXISTS "${stamp}")
    file(READ "${stamp}" stamped)
  endif()
  if(NOT stamped STREQUAL sha256)
    file(REMOVE_RECURSE "${dir}")
    file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${dir}")
    file(WRITE "${stamp}" "${sha256}")
  endif()
  file(GLOB top LIST_DIRECTORIES true "${dir}/*")
  list(FILTER top EXCLUDE REGEX "/\\.sha256$")
  list(LENGTH top tops)
  if(NOT tops EQUAL 1 OR NOT IS_DIRECTORY "${top}")
    message(FATAL_ERROR " third_party/${file} does not hold one source tree: fetch it again with scripts/fetch-sources, or download the sdist again")
  endif()
  set(${arg_SOURCE_DIR} "${top}" PARENT_SCOPE)
  set(${arg_VERSION} "${version}" PARENT_SCOPE)
  set(${arg_FILE} "${file}" PARENT_SCOPE)
endfunction()

# norvane_bundled_c_compiler(<display> <debian package>)
#
# Enables C for building a bundled library, or stops with one line naming
# the ways out: a C compiler (or a CC that names none), or the system's
# library. A macro: enable_language runs in the directory's scope.
macro(norvane_bundled_c_compiler _norvane_display _norvane_debian)
  include(CheckLanguage)
  check_language(C)
  if(NOT CMAKE_C_COMPILER AND DEFINED ENV{CC})
    message(FATAL_ERROR " building the bundled ${_norvane_display} needs a C compiler and CC names '$ENV{CC}', which is none: name gcc or clang there, or unset it; or install Debian's ${_norvane_debian} (apt-get install ${_norvane_debian})")
  elseif(NOT CMAKE_C_COMPILER)
    message(FATAL_ERROR " building the bundled ${_norvane_display} needs a C compiler and none was found: install gcc (apt-get install gcc) or clang, or name one in CC; or install Debian's ${_norvane_debian} (apt-get install ${_norvane_debian})")
  endif()
  enable_language(C)
endmacro()

# norvane_system_or_bundled(CHOICE <cache var> PACKAGE <find module name>
#                           DISPLAY <name> DEBIAN_PACKAGE <package> FOUND <var>)
#
# Reads the choice (AUTO, SYSTEM or BUNDLED) from the cache variable CHOICE,
# looks for the system's library unless BUNDLED is asked for, and sets FOUND
# to TRUE when the system's library is to be used (saying so in the
# configure log), FALSE when the bundled source is to be built. Stops with
# one line when the choice is not one of the three, or SYSTEM is asked for
# and the system has none. The find module defines <PACKAGE>_LIBRARY and
# <PACKAGE>_INCLUDE_DIR.
function(norvane_system_or_bundled)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "CHOICE;PACKAGE;DISPLAY;DEBIAN_PACKAGE;FOUND" "")
  set(choice "${${arg_CHOICE}}")
  if(NOT choice MATCHES "^(AUTO|SYSTEM|BUNDLED)$")
    message(FATAL_ERROR " ${arg_CHOICE} is '${choice}'; use AUTO, SYSTEM or BUNDLED")
  endif()
  if(NOT choice STREQUAL "BUNDLED")
    find_package(${arg_PACKAGE} QUIET)
  endif()
  if(${arg_PACKAGE}_FOUND)
    message(STATUS "${arg_DISPLAY}: the system's (${${arg_PACKAGE}_LIBRARY}, headers in ${${arg_PACKAGE}_INCLUDE_DIR})")
    set(${arg_FOUND} TRUE PARENT_SCOPE)
    return()
  endif()
  if(choice STREQUAL "SYSTEM")
    message(FATAL_ERROR " ${arg_DISPLAY} was not found on this system (${arg_CHOICE}=SYSTEM): install Debian's ${arg_DEBIAN_PACKAGE} (apt-get install ${arg_DEBIAN_PACKAGE}), or set ${arg_PACKAGE}_ROOT to where it is")
  endif()
  set(${arg_FOUND} FALSE PARENT_SCOPE)
endfunction()
