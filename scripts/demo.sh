#!/usr/bin/env bash
# Installs what is needed, builds the release tree and runs the demo on the
# bundled sample backup.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSALVOR_BUILD_TESTS=OFF -DSALVOR_BENCH=OFF -DSALVOR_WERROR=OFF
cmake --build build/release --target salvor salvor-forge
build/release/apps/cli/salvor demo "$@"
