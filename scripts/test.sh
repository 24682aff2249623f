#!/usr/bin/env bash
# Installs the build dependencies, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
