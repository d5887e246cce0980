#!/usr/bin/env bash
# Regenerates installer.ico (a download arrow over a tray) with ImageMagick.
# The icon is committed; run this only to change it.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sizes=(16 24 32 48 64)
for s in "${sizes[@]}"; do
    convert -size 256x256 xc:none \
        -fill '#1f6fb2' -draw 'roundrectangle 8,8 247,247 44,44' \
        -fill white -draw 'polygon 100,40 156,40 156,118 196,118 128,186 60,118 100,118' \
        -fill white -draw 'rectangle 56,200 200,220' \
        -resize "${s}x${s}" "$work/icon-$s.png"
done
convert "${sizes[@]/#/$work/icon-}" installer.ico 2>/dev/null || \
    convert $(for s in "${sizes[@]}"; do printf '%s ' "$work/icon-$s.png"; done) installer.ico
