#!/bin/sh
# Draws the demo's menu bar images (Data/ctrl) with ImageMagick: the strip, the play-speed
# slider, the mode, speed, save and load indicators, the running and waiting animations
# and the 18 frames of the wait indicator. Usage: tools/make_menu_bar_images.sh OUT_DIR
set -e
out=${1:?usage: $0 OUT_DIR}
mkdir -p "$out"
font=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf
text() { # file width height background colour label
    convert -size "$2x$3" "xc:$4" -font "$font" -fill "$5" -pointsize 11 -gravity center \
        -annotate +0+0 "$6" -strip "$out/$1"
}
convert -size 460x30 gradient:'#2c3850'-'#141a26' -strip "$out/br.png"
convert -size 150x18 xc:none -fill '#0c1018' -draw 'roundrectangle 0,6 149,11 3,3' -strip "$out/slbr.png"
convert -size 10x26 xc:none -fill '#d0d8e8' -draw 'roundrectangle 0,0 9,25 3,3' -strip "$out/sltb.png"
text at01.png 80 18 '#40506c' white 'AUTO'
i=2
while [ $i -le 15 ]; do
    g=$(( 60 + (i * 12) % 140 ))
    text "$(printf at%02d.png $i)" 80 18 "rgb(40,$g,90)" white 'AUTO'
    i=$((i + 1))
done
text nr01.png 80 18 '#40506c' white 'NORMAL'
text nr02.png 80 18 '#202838' '#a0a8b8' 'NORMAL'
i=1
while [ $i -le 11 ]; do
    text "$(printf ct%02d.png $i)" 18 18 '#202838' white "$i"
    i=$((i + 1))
done
text ct12.png 18 18 '#803020' white 'S'
for i in 1 2 3; do
    text "$(printf sv%02d.png $i)" 44 18 '#283450' white 'SAVE'
    text "$(printf ld%02d.png $i)" 44 18 '#283450' white 'LOAD'
done
text bt01.png 18 16 '#384460' white '<'
text bt02.png 18 16 '#384460' white '>'
i=1
while [ $i -le 7 ]; do
    a=$(( i * 51 ))
    convert -size 30x28 xc:'#141a26' -fill '#6090e0' \
        -draw "translate 15,14 rotate $a rectangle -2,-12 2,-4" "$out/$(printf mv%02d.jpg $i)"
    i=$((i + 1))
done
for i in 1 2 3; do
    convert -size 30x28 xc:'#141a26' -fill '#e0c060' \
        -draw "circle $(( 5 + i * 5 )),14 $(( 5 + i * 5 )),11" "$out/$(printf wt%02d.jpg $i)"
done
i=1
while [ $i -le 18 ]; do
    a=$(( i * 20 ))
    convert -size 24x24 xc:none -fill '#ffffffd0' \
        -draw "translate 12,12 rotate $a circle 0,-8 0,-5" -strip "$out/$(printf cs%02d.png $i)"
    i=$((i + 1))
done
