#!/bin/sh
# Starts the built program on emulated widgets (two unless LUMORA_EMULATOR
# says otherwise); under a virtual X server when there is no display.
set -eu
build=${1:-build}
export LUMORA_EMULATOR="${LUMORA_EMULATOR-2}"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/lumora-configurator"
fi
echo "no display: starting under xvfb-run (use tools/screenshot.sh to see the window)" >&2
exec xvfb-run -a "$build/lumora-configurator"
