# Sourced by scripts/test-sid, and by any script that needs the CPython
# 3.14 and 3.15 that Debian's unstable suite packages: a Debian sid root file
# system (mmdebstrap, minbase, amd64) in build/sid-root, kept between runs.
#
# The caller sets root (the source tree) and defines step MESSAGE, then:
#   sid_root DEB...     makes the root file system with the packages named
#                       (once per suite and mirror), or installs into the
#                       kept one those of them it lacks
#   in_sid_root CMD...  runs CMD in it as root, with /dev, /proc, /sys, a
#                       fresh /tmp, the host's DNS settings, the source tree
#                       read-only at /norvane/main, and each HOST:INSIDE pair
#                       of the array sid_binds read-only at INSIDE. pip
#                       reaches PyPI there through the host's CA bundle
#                       (PIP_CERT=/norvane/host-ca.crt). The mounts live in a
#                       private mount namespace and go with it.
# For example: sid_root python3.14; in_sid_root python3.14 -VV.
# Writable state of its own belongs under /norvane/ (build trees, venvs).
#
# Environment:
#   NORVANE_SID_SUITE   Debian suite (default sid; forky has 3.14 only)
#   NORVANE_SID_MIRROR  Debian mirror URI (default http://deb.debian.org/debian)

sid_suite=${NORVANE_SID_SUITE:-sid}
sid_mirror=${NORVANE_SID_MIRROR:-http://deb.debian.org/debian}
sid_rootfs=$root/build/sid-root
sid_binds=()

_sid_need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root (mmdebstrap, chroot and mounts need it)" >&2
    exit 1
  fi
}

in_sid_root() {
  _sid_need_root
  local r=$sid_rootfs ca=/etc/ssl/certs/ca-certificates.crt pair
  [ -f "$ca" ] || { echo "$(basename "$0"): no CA bundle at $ca (Debian: apt-get install ca-certificates)" >&2; exit 1; }
  mkdir -p "$r/norvane/main"
  : >"$r/norvane/host-ca.crt"
  [ -f "$r/etc/resolv.conf" ] && [ ! -L "$r/etc/resolv.conf" ] || { rm -f "$r/etc/resolv.conf"; : >"$r/etc/resolv.conf"; }
  local binds=()
  for pair in ${sid_binds[@]+"${sid_binds[@]}"}; do
    mkdir -p "$r${pair#*:}"
    binds+=("$pair")
  done
  # The environment is cleared but for what the tools inside need; a proxy
  # the host uses to reach PyPI is passed on.
  local pass=() v
  for v in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    [ -z "${!v:-}" ] || pass+=("$v=${!v}")
  done
  unshare --mount --propagation private -- /bin/bash -euc '
    r=$1 src=$2 ca=$3 n=$4
    shift 4
    mount --rbind /dev "$r/dev"
    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount -t tmpfs tmpfs "$r/tmp"
    mount --bind /etc/resolv.conf "$r/etc/resolv.conf"
    mount --bind "$ca" "$r/norvane/host-ca.crt"
    mount --bind "$src" "$r/norvane/main"
    mount -o remount,bind,ro "$r/norvane/main"
    for ((i = 0; i < n; i++)); do
      pair=$1
      shift
      mount --bind "${pair%%:*}" "$r${pair#*:}"
      mount -o remount,bind,ro "$r${pair#*:}"
    done
    exec chroot "$r" "$@"
  ' in_sid_root "$r" "$root" "$ca" "${#binds[@]}" ${binds[@]+"${binds[@]}"} \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    CI="${CI:-}" PYTHONDONTWRITEBYTECODE=1 PIP_CERT=/norvane/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    ${pass[@]+"${pass[@]}"} "$@"
}

sid_root() {
  _sid_need_root
  local want="suite=$sid_suite mirror=$sid_mirror"
  local stamp=$sid_rootfs/.norvane-sid-root
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    step "reusing $sid_rootfs ($sid_suite)"
    in_sid_root /bin/sh -euc '
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
    return
  fi
  if ! command -v mmdebstrap >/dev/null 2>&1; then
    "$root/scripts/debian-packages" mmdebstrap
  fi
  step "making $sid_rootfs ($sid_suite from $sid_mirror)"
  rm -rf --one-file-system "$sid_rootfs"
  mkdir -p "$(dirname "$sid_rootfs")"
  local dpkg_slim=(--dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*'
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*')
  # An unstable suite's Release file can be past its Valid-Until when the
  # mirror is a frozen copy; the signature is still checked.
  mmdebstrap --mode=root --variant=minbase --architectures=amd64 \
    --aptopt='APT::Install-Recommends "false"' --aptopt='Acquire::Check-Valid-Until "false"' \
    "${dpkg_slim[@]}" --include="$*" "$sid_suite" "$sid_rootfs" "$sid_mirror" ||
    { echo "$(basename "$0"): mmdebstrap could not make the $sid_suite root; set NORVANE_SID_MIRROR to a Debian mirror that carries $sid_suite" >&2; exit 1; }
  echo "$want" >"$stamp"
}
