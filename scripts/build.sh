#!/usr/bin/env bash
# Configures and builds the project in release mode into build/. Extra
# arguments go to cmake, e.g. -DKESTRUN_WINDOWS_TESTS=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build -j"$(nproc)"
