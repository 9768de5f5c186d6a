#!/usr/bin/env bash
# Renders the desktop app's start page and every category on the forged demo
# backup into docs/screenshots/ (offscreen, no display needed).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SALVOR_BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSALVOR_BUILD_TESTS=OFF -DSALVOR_BENCH=OFF
fi
cmake --build "$build" --target salvor-gui salvor-forge
export QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
out=docs/screenshots
mkdir -p "$out"

# The demo backup, beside a modern and an encrypted one so the start page shows their marks.
"$build/tools/forge/salvor-forge" --store "$store" --scenario demo >/dev/null
demo=$(find "$store" -mindepth 1 -maxdepth 1 -type d | head -n 1)
"$build/tools/forge/salvor-forge" --store "$store" --scenario ios17-modern --seed 3 >/dev/null
modern=$(find "$store" -mindepth 1 -maxdepth 1 -type d ! -path "$demo" | head -n 1)
"$build/tools/forge/salvor-forge" --store "$store" --scenario ios16-encrypted --seed 3 >/dev/null

"$build/apps/gui/salvor-gui" --store "$store" --show start --screenshot "$out/start.png"
for page in contacts messages calls notes bookmarks calendar photos social files; do
  "$build/apps/gui/salvor-gui" "$demo" --show "$page" --screenshot "$out/$page.png"
done
# The same window in a dark palette and at 200 % (text and signs must stay readable).
SALVOR_GUI_PALETTE=dark "$build/apps/gui/salvor-gui" "$demo" --show messages --screenshot "$out/messages-dark.png"
QT_SCALE_FACTOR=2 "$build/apps/gui/salvor-gui" "$demo" --show photos --screenshot "$out/photos-200.png"
# A backup of iOS 10 or later: group conversations, notes the phone keeps as
# recently deleted, trashed photos.
for page in messages notes photos; do
  "$build/apps/gui/salvor-gui" "$modern" --store "$store" --show "$page" --screenshot "$out/$page-modern.png"
done
echo "Screenshots written to $out/"
