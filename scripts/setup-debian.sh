#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root,
# or through sudo). Safe to run again. dpkg-dev (dpkg-shlibdeps), file,
# man-db and groff-base: the package and its test.
set -euo pipefail
packages=(build-essential cmake pkg-config zlib1g-dev libgtest-dev googletest ffmpeg
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libdeflate-dev nlohmann-json3-dev
          dpkg-dev file man-db groff-base)
# --windows: the cross compilers and Wine for the DLLs and their tests (never
# wine32: it breaks 64-bit Wine where 32-bit programs cannot run).
# --robustness: clang's sanitizers and libFuzzer.
for option in "$@"; do
  case "$option" in
    --windows) packages+=(mingw-w64 libz-mingw-w64-dev wine wine64) ;;
    --robustness) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup-debian.sh: unknown option $option" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
