#!/usr/bin/env bash
# The package on a clean machine: debootstrap a fresh Debian bookworm root,
# install the package there with apt (so apt resolves the dependencies it
# declares, and nothing else is there), and run kestrun --version, help and
# demo inside it. As root; a few minutes, most of them debootstrap's. Too slow
# for CI; run it before a release.
#
#   scripts/check-deb-clean.sh [PACKAGE.deb]
#
# Without PACKAGE.deb, scripts/package-deb.sh builds it. The root is made in
# $KESTRUN_CLEAN_ROOT (default: a new folder under /tmp) and removed at the
# end unless KESTRUN_KEEP_ROOT=1; $KESTRUN_MIRROR chooses debootstrap's mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "check-deb-clean.sh: run as root (debootstrap and chroot)" >&2; exit 2; }
deb=${1:-$(scripts/package-deb.sh)}
deb=$(realpath "$deb")
command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
root=${KESTRUN_CLEAN_ROOT:-$(mktemp -d /tmp/kestrun-clean-XXXXXX)}
chmod 755 "$root" # apt's downloads run as _apt
cleanup() {
  umount "$root/dev/pts" "$root/proc" 2>/dev/null || true
  [ "${KESTRUN_KEEP_ROOT:-0}" = 1 ] || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }

step "debootstrap bookworm into $root"
debootstrap --variant=minbase bookworm "$root" ${KESTRUN_MIRROR:+"$KESTRUN_MIRROR"} >"$root.debootstrap.log" 2>&1 ||
  { tail -20 "$root.debootstrap.log" >&2; exit 1; }
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc"
mount -t devpts devpts "$root/dev/pts"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"; }

step "apt-get install ./$(basename "$deb")"
in_root apt-get update -qq
in_root sh -c "cd /tmp && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ./$(basename "$deb") >/dev/null"
in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' kestrun

step "kestrun --version, help, demo"
in_root kestrun --version
in_root kestrun help encode | head -1
in_root kestrun demo --quiet
step "the package installs and runs on a clean bookworm"
