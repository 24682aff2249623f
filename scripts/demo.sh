#!/usr/bin/env bash
# The main job on the built-in sample clip: encode it to a KSHA AVI, verify
# every frame against the source, and print size, ratio and speed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh >/dev/null
build/bin/kestrun demo "$@"
