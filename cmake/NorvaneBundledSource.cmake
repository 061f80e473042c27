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
