# A CMake toolchain file that makes Zig's clang (zig cc, zig c++) the C and
# C++ compiler, for building the module and the tool for a Linux target and
# C library other than the build machine's:
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/ZigToolchain.cmake \
#         -DNORVANE_ZIG=/path/to/zig -DNORVANE_ZIG_TARGET=aarch64-linux-gnu.2.17 ...
#
# NORVANE_ZIG        the zig executable (PyPI's ziglang puts it into the
#                    package folder; default: zig on PATH)
# NORVANE_ZIG_TARGET Zig's target triple, with the glibc version to link
#                    against for -gnu targets: x86_64-linux-gnu.2.17,
#                    aarch64-linux-gnu.2.17, arm-linux-gnueabihf.2.17,
#                    x86_64-linux-musl, aarch64-linux-musl,
#                    arm-linux-musleabihf
# NORVANE_ZIG_CPU    the CPU to compile for (zig's -mcpu). Default: the
#                    architecture's baseline (x86-64, ARMv8-A), never the
#                    build machine's CPU; for 32-bit ARM, ARMv7-A with
#                    VFPv3-D16 and no NEON, what Debian's armhf and the
#                    manylinux and musllinux armv7l tags promise.
#
# Zig links its own libc++ and libc++abi statically into every C++ binary,
# so the module needs no C++ runtime from the system; the module's version
# script keeps their symbols out of its dynamic symbol table. Archives are
# made with Zig's own ar, since the build machine's binutils may not read
# the target's objects; installs are stripped by the GNU strip for the
# target (Debian's binutils-<triple>) when there is one.

if(NOT NORVANE_ZIG_TARGET)
  message(FATAL_ERROR " the Zig toolchain needs NORVANE_ZIG_TARGET, such as aarch64-linux-gnu.2.17 or arm-linux-musleabihf")
endif()
if(NOT NORVANE_ZIG)
  find_program(NORVANE_ZIG zig)
  if(NOT NORVANE_ZIG)
    message(FATAL_ERROR " the Zig toolchain needs zig: pip install ziglang and name its zig in NORVANE_ZIG, or put zig on PATH")
  endif()
endif()
# try_compile projects include this file again and need the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NORVANE_ZIG NORVANE_ZIG_TARGET NORVANE_ZIG_CPU)

string(REGEX MATCH "^[^-]+" _zig_arch "${NORVANE_ZIG_TARGET}")
if(_zig_arch STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(_zig_gnu_triple x86_64-linux-gnu)
  set(_zig_default_cpu baseline)
elseif(_zig_arch STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(_zig_gnu_triple aarch64-linux-gnu)
  set(_zig_default_cpu baseline)
elseif(_zig_arch STREQUAL "arm")
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
  set(_zig_gnu_triple arm-linux-gnueabihf)
  # Zig's own default for 32-bit ARM assumes NEON, and without NEON its
  # VFPv3 still has 32 double registers (-d32 keeps it to 16).
  set(_zig_default_cpu generic+v7a+vfp3d16-neon-d32)
else()
  message(FATAL_ERROR " the Zig toolchain knows x86_64, aarch64 and arm targets, not '${NORVANE_ZIG_TARGET}'")
endif()
if(NOT NORVANE_ZIG_CPU)
  set(NORVANE_ZIG_CPU "${_zig_default_cpu}")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER "${NORVANE_ZIG}" cc -target "${NORVANE_ZIG_TARGET}" "-mcpu=${NORVANE_ZIG_CPU}")
set(CMAKE_CXX_COMPILER "${NORVANE_ZIG}" c++ -target "${NORVANE_ZIG_TARGET}" "-mcpu=${NORVANE_ZIG_CPU}")
set(CMAKE_ASM_COMPILER "${NORVANE_ZIG}" cc -target "${NORVANE_ZIG_TARGET}" "-mcpu=${NORVANE_ZIG_CPU}")
foreach(_zig_lang C CXX ASM)
  set(CMAKE_${_zig_lang}_ARCHIVE_CREATE "\"${NORVANE_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_zig_lang}_ARCHIVE_APPEND "\"${NORVANE_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_zig_lang}_ARCHIVE_FINISH "\"${NORVANE_ZIG}\" ranlib <TARGET>")
endforeach()
find_program(CMAKE_STRIP NAMES ${_zig_gnu_triple}-strip)

# Nothing of the build machine's: no headers, libraries or packages from it.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
