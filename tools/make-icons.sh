#!/bin/sh
# Renders the application icon from packaging/icons/lumora-configurator.svg:
# the hicolor PNG sizes that get installed and go into the window's
# resources, and the multi-image .ico of the Windows resource script.
# The results are kept in the tree, so a build needs no SVG renderer; run
# this again after changing the SVG.
#   tools/make-icons.sh
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert (imagemagick).
set -eu
cd "$(dirname "$0")/.."
svg=packaging/icons/lumora-configurator.svg
hicolor=packaging/icons/hicolor
ico=packaging/windows/lumora-configurator.ico
hicolor_sizes="16 22 24 32 48 64 128 256"
ico_sizes="16 20 24 28 32 40 48 56 64 72 80 96 256"

command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }
command -v convert >/dev/null || { echo "convert not found (apt-get install imagemagick)" >&2; exit 1; }

for size in $hicolor_sizes; do
    mkdir -p "$hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$hicolor/${size}x${size}/apps/lumora-configurator.png"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=
for size in $ico_sizes; do
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$work/$size.png"
    images="$images $work/$size.png"
done
# shellcheck disable=SC2086 # one argument per image
convert $images -strip -define png:compression-level=9 "$ico"
echo "icons written to $hicolor and $ico"
