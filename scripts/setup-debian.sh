#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root,
# or through sudo). Safe to run again. dpkg-dev (dpkg-shlibdeps), file,
# man-db and groff-base: the package and its test.
set -euo pipefail
packages=(build-essential cmake pkg-config zlib1g-dev libgtest-dev googletest ffmpeg
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libdeflate-dev nlohmann-json3-dev
          dpkg-dev file man-db groff-base)
# --windows: the cross compilers and Wine for the DLLs and their tests, and
# 32-bit Wine (wine32:i386) beside it where this machine runs 32-bit programs
# (only there: where it cannot, wine32 would stand in 64-bit Wine's way).
# --robustness: clang's sanitizers and libFuzzer.
windows=0
for option in "$@"; do
  case "$option" in
    --windows) windows=1; packages+=(mingw-w64 libz-mingw-w64-dev wine wine64 nsis zip) ;;
    --robustness) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup-debian.sh: unknown option $option" >&2; exit 2 ;;
  esac
done
sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if ((windows)) && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  if "$(dirname "$0")/runs-32-bit.sh"; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq wine32:i386 >/dev/null
  else
    echo "setup-debian.sh: this machine cannot run 32-bit programs: no wine32, and the 32-bit Windows tests will be skipped"
  fi
fi
