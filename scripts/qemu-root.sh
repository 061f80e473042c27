# Sourced by the scripts that build and test on other architectures
# (scripts/test-emulated, scripts/test-wheels, scripts/build-wheels --armhf):
# Debian root file systems for armhf (32-bit ARM) and arm64, kept in
# build/roots/SUITE-ARCH, run under qemu user-mode emulation through
# binfmt_misc.
#
# The caller sets root (the source tree) and testdata (the Wycheproof
# vectors, mounted read-only at /norvane/shared/testdata; any folder will do
# where they are not needed) and defines step MESSAGE. Environment:
#   NORVANE_QEMU_MIRROR  Debian mirror URI (default: mmdebstrap's own)
#
# Emulation goes through binfmt_misc, mounted and registered here when it is
# not. proot is no way round a missing binfmt_misc: Debian 12's proot (5.1)
# does not translate the paths of statx(), which the armhf C library of
# Debian 13 uses for every stat(), so CMake and most tools fail under it.

qemu_mirror=${NORVANE_QEMU_MIRROR:-${NORVANE_ARMHF_MIRROR:-}}
# Extra read-only mounts for in_root, "HOST-PATH:ROOT-PATH" each.
root_binds=()

# qemu_name ARCH: qemu's (and binfmt_misc's) name for a Debian architecture.
qemu_name() {
  case "$1" in
    armhf) echo arm ;;
    arm64) echo aarch64 ;;
    *) echo "$(basename "$0"): no emulation for the architecture $1 (armhf or arm64)" >&2; return 1 ;;
  esac
}

# qemu_host_tools ARCH...: mmdebstrap, qemu-user-static, and binfmt_misc
# entries for those architectures.
qemu_host_tools() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root (mmdebstrap, chroot and mounts need it)" >&2
    exit 1
  fi
  "$root/scripts/debian-packages" mmdebstrap qemu-user-static binfmt-support arch-test

  # The qemu-user-static entries carry the F flag: the kernel opens the
  # interpreter when it is registered, so it works inside a chroot as well.
  local binfmt=/proc/sys/fs/binfmt_misc arch name
  for arch in "$@"; do
    name=qemu-$(qemu_name "$arch") || exit 1
    if ! binfmt_ok "$binfmt/$name"; then
      [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
      if [ -e "$binfmt/register" ]; then
        [ "$(cat "$binfmt/status" 2>/dev/null)" = enabled ] || echo 1 >"$binfmt/status" 2>/dev/null || true
        update-binfmts --import "$name" >/dev/null 2>&1 || true
        update-binfmts --enable "$name" >/dev/null 2>&1 || true
      fi
    fi
    if ! binfmt_ok "$binfmt/$name"; then
      echo "$(basename "$0"): cannot register $name with binfmt_misc (fix-binary flag) at $binfmt;" \
        "a container needs CAP_SYS_ADMIN or a host that has it registered" >&2
      exit 1
    fi
    echo "$(basename "$0"): $arch emulated through binfmt_misc ($(sed -n 's/^interpreter //p' "$binfmt/$name"))"
  done
}
binfmt_ok() { grep -qx enabled "$1" 2>/dev/null && grep -q '^flags:.*F' "$1"; }

# in_root ROOTFS CMD...: runs CMD in ROOTFS as root, with /dev, /proc, /sys,
# a fresh /tmp, the source tree (/norvane/main, read-only), the vectors
# (/norvane/shared/testdata, read-only) and root_binds. The mounts live in a
# private mount namespace, so they go away with it whatever happens.
in_root() {
  local r=$1 bind
  shift
  mkdir -p "$r/norvane/main" "$r/norvane/shared/testdata"
  for bind in "${root_binds[@]}"; do
    mkdir -p "$r/${bind#*:}"
  done
  unshare --mount --propagation private -- /bin/sh -euc '
    r=$1 src=$2 data=$3 n=$4
    shift 4
    mount --rbind /dev "$r/dev"
    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount -t tmpfs tmpfs "$r/tmp"
    mount --bind "$src" "$r/norvane/main"
    mount -o remount,bind,ro "$r/norvane/main"
    mount --bind "$data" "$r/norvane/shared/testdata"
    mount -o remount,bind,ro "$r/norvane/shared/testdata"
    while [ "$n" -gt 0 ]; do
      mount --bind "${1%%:*}" "$r/${1#*:}"
      mount -o remount,bind,ro "$r/${1#*:}"
      shift
      n=$((n - 1))
    done
    exec chroot "$r" "$@"
  ' in_root "$r" "$root" "$testdata" "${#root_binds[@]}" "${root_binds[@]}" \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    CI="${CI:-}" PYTHONDONTWRITEBYTECODE=1 "$@"
}

# unmount_under DIR: lazily unmounts whatever is mounted below DIR,
# innermost first. A root whose making was interrupted can keep mmdebstrap's
# mounts (dev/pts, dev/shm, proc, sys), and rm would descend into them.
# Nothing mounted there is the usual case and no failure (awk, unlike grep,
# exits 0 when no line matches, so pipefail lets it through).
unmount_under() {
  findmnt -rn -o TARGET | awk -v dir="$1/" 'index($0, dir) == 1' | sort -r | xargs -r -n1 umount -l
}

# debian_root ARCH SUITE DEB...: sets rootfs to build/roots/SUITE-ARCH and
# makes it with apt and the packages named (once per release, architecture
# and mirror), or installs into the kept one those of them it lacks.
debian_root() {
  local arch=$1 suite=$2
  shift 2
  rootfs=$root/build/roots/$suite-$arch
  local want="suite=$suite arch=$arch mirror=$qemu_mirror"
  local stamp=$rootfs/.norvane-root
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    step "reusing $rootfs ($suite $arch)"
    in_root "$rootfs" /bin/sh -euc '
      missing=
      for p in "$@"; do
        dpkg-query -W -f="\${Status}" "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
      done
      if [ -n "$missing" ]; then
        echo "installing$missing"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
        apt-get clean
        rm -rf /var/lib/apt/lists/*
      fi
    ' sh "$@"
  else
    step "making $rootfs ($suite $arch)"
    unmount_under "$rootfs"
    rm -rf --one-file-system "$rootfs"
    mkdir -p "$(dirname "$rootfs")"
    local dpkg_slim=(--dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*'
      --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*')
    # An unstable suite's Release file can be past its Valid-Until when the
    # mirror is a frozen copy; the signature is still checked. (mmdebstrap
    # keeps the option in the root, for the installs that reuse it.)
    mmdebstrap --mode=root --variant=apt --architectures="$arch" \
      --aptopt='APT::Install-Recommends "false"' --aptopt='Acquire::Check-Valid-Until "false"' \
      "${dpkg_slim[@]}" --include="$*" \
      "$suite" "$rootfs" ${qemu_mirror:+"$qemu_mirror"}
    echo "$want" >"$stamp"
  fi
}
