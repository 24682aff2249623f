#!/usr/bin/env bash
# The Debian package, built from this build folder and unpacked into a
# scratch root: it declares a package for every shared library its files
# need, its manual page formats without warnings, and the tool runs from
# there, help and demo included, finding its media library and sample clip
# inside the scratch root.
#   test-package.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$(cd "$2" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrun-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$scratch"/out/kestrun_*.deb)
root=$scratch/root
dpkg-deb -x "$deb" "$root"
tool=$root/usr/bin/kestrun
dpkg-deb -f "$deb" Section | grep -qx video || fail "section is not video"
dpkg-deb -f "$deb" Maintainer | grep -q . || fail "no maintainer"

# Every library the executable and the media library need comes from a
# package that Depends names.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for file in "$tool" "$root"/usr/lib/*kestrun/libkestrun-media.so; do
  [ -f "$file" ] || fail "$file is not in the package"
  readelf -d "$file" | grep -q 'R\(UN\)\?PATH' && fail "$file has a run path"
  for soname in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    # The library this machine loads, found by its folder and name (the
    # dpkg database may hold it under /lib or /usr/lib).
    path=$(ldd "$file" | awk -v name="$soname" '$1 == name { print $3 }')
    package=$(dpkg-query -S "*/$(basename "$(dirname "$path")")/$soname" 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$package" ] || fail "no package holds $soname"
    [[ ", $depends" == *", $package "* || ", $depends" == *", $package," || ", $depends" == *", $package" ]] ||
      fail "$soname ($package) is not among the dependencies"
  done
done

"$tool" --version | grep -q '^kestrun ' || fail "--version"
"$tool" help encode | grep -q -- '--coder' || fail "help encode"
[ -f "$root/usr/share/bash-completion/completions/kestrun" ] || fail "no completion"
page=$root/usr/share/man/man1/kestrun.1.gz
warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "the manual page: $warnings"
man_out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$man_out" ] || fail "man -l: $man_out"

# info fails on a file that is not there, after loading the library.
loaded=$( (LD_DEBUG=files "$tool" info "$scratch/none.avi" 2>&1 || true) | sed -n 's/.*file=\([^ ]*libkestrun-media\.so\).*/\1/p' | head -1)
[[ $loaded == "$root"/* ]] || fail "the media library came from ${loaded:-nowhere}, not the root"
demo=$("$tool" demo --quiet --threads 2) || fail "demo: $demo"
echo "$demo"
grep -q "^encoding $root/usr/share/kestrun/city-720x405.mpg " <<<"$demo" || fail "demo did not take the clip in the root"
grep -q "^verify:   all .* frames decode to exactly the source's pictures" <<<"$demo" || fail "demo did not verify"
echo "package: $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB"
