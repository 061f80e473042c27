# Sourced by the scripts that build and test for musl: Zig, the
# cross compiler that carries musl for every architecture, from PyPI at the
# version and checksums of scripts/requirements/musl-tools.txt, in
# build/venv-zig. The caller sets root (the source tree).
#
#   zig_setup         installs it when missing; sets zig (the executable) and
#                     ZIG_GLOBAL_CACHE_DIR (build/zig-cache: musl and libc++
#                     are compiled once per target and kept with the build)
#   zig_target ARCH   sets zig_triple and zig_cpu for x86_64, aarch64 or
#                     armv7l, and gnu_host (the triplet autoconf is told)
#   musl_loader ARCH  sets musl_prefix: musl's loader for aarch64 or armv7l,
#                     for qemu (below)

zig_setup() {
  local venv=$root/build/venv-zig py
  if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --require-hashes \
    -r "$root/scripts/requirements/musl-tools.txt" >/dev/null 2>&1; then
    py=$("$root/scripts/find-python")
    rm -rf "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --require-hashes \
      -r "$root/scripts/requirements/musl-tools.txt" >&2 ||
      { echo "$(basename "$0"): could not install Zig from PyPI (scripts/requirements/musl-tools.txt)" >&2; exit 1; }
  fi
  zig=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  export ZIG_GLOBAL_CACHE_DIR=$root/build/zig-cache
}

# armv7l is the floor Debian armhf and musllinux armv7l share: ARMv7-A,
# Thumb-2, VFPv3 with 16 double registers, no NEON (Zig's own default for
# 32-bit ARM assumes NEON).
zig_target() {
  case "$1" in
    x86_64) zig_triple=x86_64-linux-musl zig_cpu=x86_64 gnu_host=x86_64-linux-musl ;;
    aarch64) zig_triple=aarch64-linux-musl zig_cpu=generic gnu_host=aarch64-linux-musl ;;
    armv7l) zig_triple=arm-linux-musleabihf zig_cpu=generic+v7a+vfp3d16-neon-d32 gnu_host=armv7l-linux-musleabihf ;;
    *) echo "$(basename "$0"): no musl target for the architecture '$1' (x86_64, aarch64 or armv7l)" >&2; exit 1 ;;
  esac
}

# musl_loader ARCH: sets musl_prefix to a folder for qemu's QEMU_LD_PREFIX
# that holds musl's loader for aarch64 or armv7l (/lib/ld-musl-ARCH.so.1,
# unpacked from Debian 13's musl package, scripts/fetch-sources), so that
# musl programs of that architecture run here under qemu, their children
# too, without a root file system of their own.
musl_loader() {
  local name
  case "$1" in
    aarch64) name=musl-arm64 ;;
    armv7l) name=musl-armhf ;;
    *) echo "$(basename "$0"): no musl loader for qemu on '$1' (aarch64 or armv7l)" >&2; exit 1 ;;
  esac
  musl_prefix=$root/build/musl-loader/$1
  local deb
  deb=$root/third_party/$(awk -v n="$name" '$1 == n { print $4 }' "$root/third_party/sources.txt")
  if [ ! -f "$musl_prefix/.norvane-musl-loader" ] || [ "$(cat "$musl_prefix/.norvane-musl-loader")" != "$(basename "$deb")" ]; then
    "$root/scripts/fetch-sources" "$name" >&2
    rm -rf "$musl_prefix"
    mkdir -p "$musl_prefix"
    dpkg-deb -x "$deb" "$musl_prefix"
    # Debian's usr-merged layout: the loader's own path is /lib/...
    ln -s usr/lib "$musl_prefix/lib"
    basename "$deb" >"$musl_prefix/.norvane-musl-loader"
  fi
}
