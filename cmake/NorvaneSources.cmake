# The pinned third-party sources of third_party/sources.txt: reading an
# entry, and downloading its file from the places the table names, checked
# against the pinned SHA-256. The build includes it (NorvaneBundledSource,
# for a checkout whose third_party/ lacks a tarball), and
# scripts/fetch-sources runs it as a script, so both try the same places in
# the same order:
#
#   cmake -DTABLE=<sources.txt> -DNAME=<entry> -DDESTINATION=<file>
#         -DRESULT=<file> -P NorvaneSources.cmake
#
# which downloads the entry's file to DESTINATION and writes to RESULT an
# empty line, or the one line that says why it could not.
#
# Where to look: the table's "pool" lines, in their order, or, when the
# environment sets NORVANE_DEBIAN_MIRROR (one or more archive roots,
# separated by spaces, file:// URLs too), the pool/main folder of each of
# those instead.

# norvane_source_entry(<table> <name> <prefix>): sets <prefix>_PACKAGE,
# _VERSION, _FILE and _SHA256 from the table's entry <name>, or
# <prefix>_FILE to "" when the table has no complete entry of that name.
function(norvane_source_entry table name prefix)
  set(entry "")
  if(EXISTS "${table}")
    file(STRINGS "${table}" entry REGEX "^${name}[ \t]")
  endif()
  string(REGEX REPLACE "[ \t]+" ";" entry "${entry}")
  list(LENGTH entry fields)
  set(${prefix}_FILE "" PARENT_SCOPE)
  if(fields LESS 5)
    return()
  endif()
  list(GET entry 1 package)
  list(GET entry 2 version)
  list(GET entry 3 file)
  list(GET entry 4 sha256)
  set(${prefix}_PACKAGE "${package}" PARENT_SCOPE)
  set(${prefix}_VERSION "${version}" PARENT_SCOPE)
  set(${prefix}_FILE "${file}" PARENT_SCOPE)
  set(${prefix}_SHA256 "${sha256}" PARENT_SCOPE)
endfunction()

# norvane_source_urls(<table> <package> <file> <var>): the URLs to try for
# <file> of Debian's source package <package>. An archive files a source
# package in its pool under the package's first letter (lib* packages under
# their first four), whichever releases carry it.
function(norvane_source_urls table package file var)
  set(pools "")
  if(NOT "$ENV{NORVANE_DEBIAN_MIRROR}" STREQUAL "")
    string(REGEX REPLACE "[ \t]+" ";" mirrors "$ENV{NORVANE_DEBIAN_MIRROR}")
    foreach(mirror IN LISTS mirrors)
      if(NOT mirror STREQUAL "")
        string(REGEX REPLACE "/+$" "" mirror "${mirror}")
        list(APPEND pools "${mirror}/pool/main")
      endif()
    endforeach()
  elseif(EXISTS "${table}")
    file(STRINGS "${table}" lines REGEX "^pool[ \t]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^pool[ \t]+([^ \t]+).*" "\\1" pool "${line}")
      string(REGEX REPLACE "/+$" "" pool "${pool}")
      list(APPEND pools "${pool}")
    endforeach()
  endif()
  string(SUBSTRING "${package}" 0 1 prefix)
  if(package MATCHES "^lib.")
    string(SUBSTRING "${package}" 0 4 prefix)
  endif()
  set(urls "")
  foreach(pool IN LISTS pools)
    list(APPEND urls "${pool}/${prefix}/${package}/${file}")
  endforeach()
  set(${var} "${urls}" PARENT_SCOPE)
endfunction()

# _norvane_answers(<url> <var>): whether the server of <url> answers at
# all, asked once per run with a short time limit (file:// and the like
# always answer). A firewall that drops packets would otherwise hold each
# download until its own, long, time limit.
function(_norvane_answers url var)
  if(url MATCHES "^file:" OR NOT url MATCHES "^[a-zA-Z]+://[^/]+")
    set(${var} TRUE PARENT_SCOPE)
    return()
  endif()
  set(server "${CMAKE_MATCH_0}")
  get_property(known GLOBAL PROPERTY "NORVANE_ANSWERS ${server}" SET)
  if(NOT known)
    file(DOWNLOAD "${server}/" STATUS status TIMEOUT 20)
    list(GET status 0 code)
    set(answers TRUE)
    # curl's codes for no proxy or host name resolved, no connection, or
    # nothing in time.
    if(code MATCHES "^(5|6|7|28)$")
      set(answers FALSE)
    endif()
    set_property(GLOBAL PROPERTY "NORVANE_ANSWERS ${server}" ${answers})
  endif()
  get_property(answers GLOBAL PROPERTY "NORVANE_ANSWERS ${server}")
  set(${var} ${answers} PARENT_SCOPE)
endfunction()

# norvane_download_source(TABLE <table> NAME <entry> DESTINATION <file>
#                         SAY <prefix> ERROR <var> URL <var>)
#
# Downloads the entry's file to DESTINATION from the first place that has
# it with the pinned SHA-256, saying each try on a line that starts with
# SAY. A download is checked before it is given its name, so DESTINATION
# never holds other bytes. Sets URL to where it came from and ERROR to "",
# or ERROR to why nothing was kept: the machine seems offline (no server
# answered), a download did not match the pin (named first: it may be
# tampering), or no place had the file.
#
# file(DOWNLOAD)'s EXPECTED_HASH would check the same, but any failure
# under it (a 404 too) is a fatal error, which ends the search at the first
# place.
function(norvane_download_source)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TABLE;NAME;DESTINATION;SAY;ERROR;URL" "")
  set(${arg_URL} "" PARENT_SCOPE)
  norvane_source_entry("${arg_TABLE}" "${arg_NAME}" pin)
  if(pin_FILE STREQUAL "")
    set(${arg_ERROR} "${arg_TABLE} has no complete entry for ${arg_NAME}" PARENT_SCOPE)
    return()
  endif()
  norvane_source_urls("${arg_TABLE}" "${pin_PACKAGE}" "${pin_FILE}" urls)
  list(LENGTH urls places)
  if(places EQUAL 0)
    set(${arg_ERROR} "no place to download ${pin_FILE} from (${arg_TABLE} names none)" PARENT_SCOPE)
    return()
  endif()
  get_filename_component(folder "${arg_DESTINATION}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  set(part "${arg_DESTINATION}.part")
  set(answered FALSE)
  set(mismatch "")
  foreach(url IN LISTS urls)
    message(STATUS "${arg_SAY}downloading ${url}")
    _norvane_answers("${url}" answers)
    if(NOT answers)
      message(STATUS "${arg_SAY}  failed: the server does not answer")
      continue()
    endif()
    file(REMOVE "${part}")
    # A slow mirror is waited for; one that stops sending is not.
    file(DOWNLOAD "${url}" "${part}" STATUS status LOG log TIMEOUT 900 INACTIVITY_TIMEOUT 60)
    list(GET status 0 code)
    if(code EQUAL 0)
      set(answered TRUE)
      file(SHA256 "${part}" actual)
      if(actual STREQUAL pin_SHA256)
        file(RENAME "${part}" "${arg_DESTINATION}")
        set(${arg_URL} "${url}" PARENT_SCOPE)
        set(${arg_ERROR} "" PARENT_SCOPE)
        return()
      endif()
      set(mismatch "${url} gave SHA-256 ${actual}")
      message(STATUS "${arg_SAY}  refused: SHA-256 ${actual}, not the pinned ${pin_SHA256}")
      continue()
    endif()
    # A server that answers with an error status (curl's 22) is there;
    # failures to resolve, connect or hear back are the network's.
    list(GET status 1 reason)
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" reason "${reason}")
    if(code EQUAL 22)
      set(answered TRUE)
      string(REGEX MATCHALL "HTTP/[0-9.]+ [0-9][0-9][0-9][^\r\n]*" replies "${log}")
      if(replies)
        list(GET replies -1 reason)
        string(STRIP "${reason}" reason)
      endif()
    elseif(NOT code MATCHES "^(5|6|7|28)$")
      set(answered TRUE)
    endif()
    message(STATUS "${arg_SAY}  failed: ${reason}")
  endforeach()
  file(REMOVE "${part}")
  if(NOT mismatch STREQUAL "")
    set(error "a download did not match the pinned SHA-256 ${pin_SHA256} (${mismatch}), and no other place had the file")
  elseif(NOT answered)
    set(error "no server answered (is this machine offline?)")
  elseif(places EQUAL 1)
    set(error "${urls} does not have it")
  else()
    set(error "none of the ${places} places tried has it")
  endif()
  set(${arg_ERROR} "${error}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(var TABLE NAME DESTINATION RESULT)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "NorvaneSources.cmake: -D${var}= is needed")
    endif()
  endforeach()
  norvane_download_source(TABLE "${TABLE}" NAME "${NAME}" DESTINATION "${DESTINATION}" ERROR error URL url)
  file(WRITE "${RESULT}" "${error}\n")
endif()
