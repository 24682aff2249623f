#!/usr/bin/env bash
# Builds the tool in release mode into build/ and its Debian package,
# build/kestrun_VERSION_ARCH.deb (dependencies from dpkg-shlibdeps, so the
# build machine's Debian release is the package's). Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target kestrun kestrun-media kestrun-manual >/dev/null
(cd build && cpack -G DEB >cpack.log 2>&1) || { cat build/cpack.log >&2; exit 1; }
ls -t "$PWD"/build/kestrun_*.deb | head -1
