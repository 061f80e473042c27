# Sourced by scripts/test-armhf and scripts/build-wheels --armhf: a Debian
# armhf root file system in build/armhf-root, run under qemu user-mode
# emulation through binfmt_misc.
#
# The caller sets root (the source tree) and testdata (the Wycheproof
# vectors, mounted read-only at /norvane/shared/testdata; any folder will do
# where they are not needed) and defines step MESSAGE. Environment:
#   NORVANE_ARMHF_SUITE   Debian release to use (default trixie: Python 3.13)
#   NORVANE_ARMHF_MIRROR  Debian mirror URI (default: mmdebstrap's own)
#
# Emulation goes through binfmt_misc, mounted and registered here when it is
# not. proot is no way round a missing binfmt_misc: Debian 12's proot (5.1)
# does not translate the paths of statx(), which the armhf C library of
# Debian 13 uses for every stat(), so CMake and most tools fail under it.

armhf_suite=${NORVANE_ARMHF_SUITE:-trixie}
armhf_mirror=${NORVANE_ARMHF_MIRROR:-}
rootfs=$root/build/armhf-root

# armhf_host_tools: mmdebstrap, qemu-user-static and binfmt_misc.
armhf_host_tools() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root (mmdebstrap, chroot and mounts need it)" >&2
    exit 1
  fi
  local host_debs=(mmdebstrap qemu-user-static binfmt-support arch-test) missing=() p
  for p in "${host_debs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    step "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi

  # The qemu-user-static entry carries the F flag: the kernel opens the
  # interpreter when it is registered, so it works inside a chroot as well.
  local binfmt=/proc/sys/fs/binfmt_misc
  binfmt_ok() { grep -qx enabled "$binfmt/qemu-arm" 2>/dev/null && grep -q '^flags:.*F' "$binfmt/qemu-arm"; }
  if ! binfmt_ok; then
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    if [ -e "$binfmt/register" ]; then
      [ "$(cat "$binfmt/status" 2>/dev/null)" = enabled ] || echo 1 >"$binfmt/status" 2>/dev/null || true
      update-binfmts --import qemu-arm >/dev/null 2>&1 || true
      update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
    fi
  fi
  if ! binfmt_ok; then
    echo "$(basename "$0"): cannot register qemu-arm with binfmt_misc (fix-binary flag) at $binfmt;" \
      "a container needs CAP_SYS_ADMIN or a host that has it registered" >&2
    exit 1
  fi
  echo "$(basename "$0"): emulating through binfmt_misc ($(sed -n 's/^interpreter //p' "$binfmt/qemu-arm"))"
}

# in_root ROOTFS CMD...: runs CMD in ROOTFS as root, with /dev, /proc, /sys,
# a fresh /tmp, the source tree (/norvane/main, read-only) and the vectors
# (/norvane/shared/testdata, read-only). The mounts live in a private mount
# namespace, so they go away with it whatever happens.
in_root() {
  local r=$1
  shift
  mkdir -p "$r/norvane/main" "$r/norvane/shared/testdata"
  unshare --mount --propagation private -- /bin/sh -euc '
    r=$1 src=$2 data=$3
    shift 3
    mount --rbind /dev "$r/dev"
    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount -t tmpfs tmpfs "$r/tmp"
    mount --bind "$src" "$r/norvane/main"
    mount -o remount,bind,ro "$r/norvane/main"
    mount --bind "$data" "$r/norvane/shared/testdata"
    mount -o remount,bind,ro "$r/norvane/shared/testdata"
    exec chroot "$r" "$@"
  ' in_root "$r" "$root" "$testdata" \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    CI="${CI:-}" PYTHONDONTWRITEBYTECODE=1 "$@"
}

# armhf_root DEB...: makes the root file system with the tool chain and the
# packages named (once per release and mirror), or installs into the kept one
# those of them it lacks.
armhf_root() {
  local want="suite=$armhf_suite mirror=$armhf_mirror"
  local stamp=$rootfs/.norvane-armhf-root
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    step "reusing $rootfs ($armhf_suite armhf)"
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
    step "making $rootfs ($armhf_suite armhf)"
    rm -rf --one-file-system "$rootfs"
    mkdir -p "$(dirname "$rootfs")"
    local dpkg_slim=(--dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*'
      --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*')
    mmdebstrap --mode=root --variant=apt --architectures=armhf \
      --aptopt='APT::Install-Recommends "false"' "${dpkg_slim[@]}" --include="$*" \
      "$armhf_suite" "$rootfs" ${armhf_mirror:+"$armhf_mirror"}
    echo "$want" >"$stamp"
  fi
}
