#!/usr/bin/env bash
# Draws the window background (789x461 JPEG) and the program icon (32x32 PNG) with ImageMagick.
# The pictures are committed; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"

# Background: a deep blue to sky-blue wash with soft diagonal bands, so the light-blue
# list and heading stand out on it.
convert -size 789x461 gradient:'#0b3d5c'-'#3aa6d0' \
    \( -size 789x461 xc:none -fill 'rgba(255,255,255,0.10)' \
       -draw "polygon 180,0 300,0 60,461 -60,461" \
       -draw "polygon 330,0 380,0 140,461 90,461" \
       -fill 'rgba(255,255,255,0.06)' -draw "polygon 520,0 700,0 460,461 280,461" \) \
    -composite -blur 0x0.6 -quality 88 background.jpg

# Icon: a blue shield with a white gate bar and a red stop dot.
convert -size 32x32 xc:none \
    -fill '#0b3d5c' -stroke '#e8f6fc' -strokewidth 1.5 \
    -draw "path 'M 16,2 L 28,6 L 28,15 C 28,23 22,28 16,30 C 10,28 4,23 4,15 L 4,6 Z'" \
    -stroke none -fill '#5cc5e7' -draw "path 'M 16,5 L 25,8 L 25,15 C 25,21 21,25 16,27 Z'" \
    -fill white -draw "rectangle 8,13 24,17" \
    -fill '#d83a2e' -stroke white -strokewidth 1 -draw "circle 16,15 19,15" \
    -depth 8 -define png:color-type=6 icon.png
