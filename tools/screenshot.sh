#!/bin/sh
# Starts the program under Xvfb and saves a screenshot of the screen.
#   tools/screenshot.sh BUILD_DIR OUTPUT.png [SECONDS]
# Extra environment (LUMORA_EMULATOR and so on) is passed through.
# Needs Xvfb and ImageMagick's import (apt-get install xvfb imagemagick).
set -eu
for tool in Xvfb import; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$0: $tool not found (apt-get install xvfb imagemagick)" >&2; exit 1; }
done
build=${1:-build}
out=${2:-screenshot.png}
wait=${3:-2}
display=:${LUMORA_XVFB_DISPLAY:-97}
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $app $xvfb 2>/dev/null || true' EXIT
sleep 1
DISPLAY=$display QT_QPA_PLATFORM=xcb "$build/lumora-configurator" &
app=$!
sleep "$wait"
DISPLAY=$display import -window root "$out"
echo "screenshot saved to $out"
