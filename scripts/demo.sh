#!/usr/bin/env bash
# Installs what is needed, builds the release tree and runs the demo on the
# bundled sample backup.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSALVOR_BUILD_TESTS=OFF -DSALVOR_BENCH=OFF -DSALVOR_WERROR=OFF
cmake --build build/release --target salvor salvor-forge salvor-gui
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${SALVOR_DEMO_CLI:-0}" != 1 ]; then
  # A display is there: open the window on a freshly forged sample store.
  store=$(mktemp -d)
  build/release/tools/forge/salvor-forge --store "$store" --scenario demo >/dev/null
  # Beside it, a backup in the format of iOS 10 and later.
  build/release/tools/forge/salvor-forge --store "$store" --scenario ios17-modern >/dev/null
  echo "Opening the desktop app on the sample store $store"
  exec build/release/apps/gui/salvor-gui --store "$store"
fi
build/release/apps/cli/salvor demo "$@"
echo
echo "No display here. On a desktop, open the window on a sample store with:"
echo "  build/release/tools/forge/salvor-forge --store /tmp/salvor-sample --scenario demo"
echo "  build/release/apps/gui/salvor-gui --store /tmp/salvor-sample"
