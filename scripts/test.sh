#!/usr/bin/env bash
# Installs what it needs, builds, and runs every test: the sanitizer,
# allocation-failure and thread-sanitizer builds with short fuzz runs, then
# the release build's tests, which include the Windows DLLs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh --windows --robustness
KESTRUN_FUZZ_SECONDS=${KESTRUN_FUZZ_SECONDS:-45} scripts/robustness.sh
scripts/build.sh -DKESTRUN_WINDOWS_TESTS=ON
ctest --test-dir build --output-on-failure -j"$(nproc)"
