# norvane_bundled_source(NAME <entry> DISPLAY <name> DEBIAN_PACKAGE <package>
#                        SOURCE_DIR <var> VERSION <var> FILE <var> ORIGIN <var>)
#
# Unpacks the pinned source tarball of one entry of third_party/sources.txt
# into the build folder, after checking its SHA-256 against the pin, and sets
# SOURCE_DIR to the unpacked tree's top folder, VERSION to the entry's
# version, FILE to the tarball's name and ORIGIN to where it came from (for
# the configure log). The tarball is third_party/'s (fetched there by
# scripts/fetch-sources, carried by the sdist); a checkout that lacks it
# downloads it into the build folder from the places the table names
# (NorvaneSources), unless NORVANE_FETCH_SOURCES is off. Stops with one line
# naming the ways out when the tarball is damaged, or missing and not to be
# had (install DEBIAN_PACKAGE, name a mirror, put the file into
# third_party/, or build from the sdist).
include(NorvaneSources)
option(NORVANE_FETCH_SOURCES
  "Download a pinned third-party source that neither the system nor third_party/ has" ON)
function(norvane_bundled_source)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;DISPLAY;DEBIAN_PACKAGE;SOURCE_DIR;VERSION;FILE;ORIGIN" "")
  set(table "${PROJECT_SOURCE_DIR}/third_party/sources.txt")
  norvane_source_entry("${table}" "${arg_NAME}" pin)
  if(pin_FILE STREQUAL "")
    message(FATAL_ERROR " ${table} has no complete entry for ${arg_NAME}; restore it from the norvane sources")
  endif()
  set(version "${pin_VERSION}")
  set(file "${pin_FILE}")
  set(sha256 "${pin_SHA256}")
  set(tarball "${PROJECT_SOURCE_DIR}/third_party/${file}")
  set(origin "third_party/${file}")

  set(install "install Debian's ${arg_DEBIAN_PACKAGE} (apt-get install ${arg_DEBIAN_PACKAGE})")
  set(sdist "or build from the norvanes sdist, which bundles it")
  if(EXISTS "${tarball}")
    file(SHA256 "${tarball}" actual)
    if(NOT actual STREQUAL sha256)
      message(FATAL_ERROR " third_party/${file} is damaged or not the pinned ${arg_DISPLAY} source (SHA-256 ${actual}, expected ${sha256}): fetch it again with scripts/fetch-sources, or download the sdist again")
    endif()
  elseif(NOT NORVANE_FETCH_SOURCES)
    message(FATAL_ERROR " ${arg_DISPLAY} was not found: ${install}, put its pinned source ${file} (SHA-256 ${sha256}) into third_party/ (scripts/fetch-sources does), let the build download it (NORVANE_FETCH_SOURCES=ON), ${sdist}")
  else()
    # Downloaded once per build folder: a download is checked before it is
    # given this name, and again by each configure that reuses it.
    set(tarball "${CMAKE_BINARY_DIR}/_bundled/downloads/${file}")
    set(actual "")
    if(EXISTS "${tarball}")
      file(SHA256 "${tarball}" actual)
    endif()
    if(actual STREQUAL sha256)
      set(origin "${file}, downloaded earlier into this build folder")
    else()
      file(REMOVE "${tarball}")
      message(STATUS "${arg_DISPLAY}: third_party/ has no ${file}; downloading the pinned source")
      norvane_download_source(TABLE "${table}" NAME "${arg_NAME}" DESTINATION "${tarball}"
        SAY "${arg_DISPLAY}: " ERROR error URL url)
      if(NOT error STREQUAL "")
        if("$ENV{NORVANE_DEBIAN_MIRROR}" STREQUAL "")
          set(mirror "set NORVANE_DEBIAN_MIRROR to a Debian mirror that has the file")
        else()
          set(mirror "set NORVANE_DEBIAN_MIRROR to another Debian mirror")
        endif()
        message(FATAL_ERROR " ${arg_DISPLAY} was not found, and its pinned source ${file} could not be downloaded: ${error}; ${install}, ${mirror}, put the file (SHA-256 ${sha256}) into third_party/, ${sdist}")
      endif()
      set(origin "${file}, downloaded from ${url}")
    endif()
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
    message(FATAL_ERROR " ${tarball} does not hold one source tree: fetch it again with scripts/fetch-sources, or download the sdist again")
  endif()
  set(${arg_SOURCE_DIR} "${top}" PARENT_SCOPE)
  set(${arg_ORIGIN} "${origin}" PARENT_SCOPE)
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
