#!/usr/bin/env bash
# Builds both Windows DLLs and writes into dist/:
#   kestrun-VERSION-windows-setup.exe  the installer (makensis, 32-bit: runs on
#                                      32-bit and 64-bit Windows)
#   kestrun-VERSION-windows.zip        both DLLs, kestrun.inf, INSTALL.md, LICENSE
#
#   package-windows.sh [--build-root DIR] [--dist DIR] [--target x86-unicode|amd64-unicode]
#
# --target amd64-unicode builds the same installer as a 64-bit program (for
# 64-bit Windows only); the tests use it where 32-bit programs cannot run.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_root="$source_dir/build/windows"
dist="$source_dir/dist"
target=x86-unicode
while (($#)); do
  case "$1" in
    --build-root) build_root=$2; shift 2 ;;
    --dist) dist=$2; shift 2 ;;
    --target) target=$2; shift 2 ;;
    *) echo "package-windows.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix makensis zip cmake; do
  command -v "$tool" >/dev/null || { echo "package-windows.sh: $tool is missing (scripts/setup-debian.sh --windows)" >&2; exit 2; }
done
dist=$(realpath -m "$dist")
mkdir -p "$build_root"
version=$(sed -n 's/^project(kestrun VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[[ -n $version ]] || { echo "package-windows.sh: no version in CMakeLists.txt" >&2; exit 1; }

for arch in x86_64 i686; do
  dir="$build_root/build-$arch"
  cmake -S "$source_dir" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mingw-$arch.cmake" \
    -DKESTRUN_BENCH=OFF -DKESTRUN_TOOLS=OFF >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target kestrun >"$build_root/package-$arch.log" 2>&1 ||
    { tail -40 "$build_root/package-$arch.log"; echo "package-windows.sh: the $arch build failed" >&2; exit 1; }
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$build_root/build-x86_64/bin/kestrun.dll" "$stage/kestrun64.dll"
cp "$build_root/build-i686/bin/kestrun.dll" "$stage/kestrun32.dll"
cp "$source_dir/windows/kestrun.inf" "$source_dir/windows/INSTALL.md" "$source_dir/LICENSE" "$stage/"
dll_kib=$(( ($(stat -c %s "$stage/kestrun64.dll") + $(stat -c %s "$stage/kestrun32.dll") + 1023) / 1024 ))

mkdir -p "$dist"
setup="$dist/kestrun-$version-windows-setup.exe"
[[ $target == x86-unicode ]] || setup="$dist/kestrun-$version-windows-$target-setup.exe"
makensis -V2 -DVERSION="$version" -DSOURCES="$stage" -DOUTFILE="$setup" -DTARGET="$target" \
  -DDLL_KIB="$dll_kib" "$source_dir/windows/kestrun.nsi"
zip_file="$dist/kestrun-$version-windows.zip"
rm -f "$zip_file"
(cd "$stage" && zip -q -X "$zip_file" kestrun64.dll kestrun32.dll kestrun.inf INSTALL.md LICENSE)
echo "$setup"
echo "$zip_file"
