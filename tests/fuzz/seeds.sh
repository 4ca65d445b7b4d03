#!/bin/sh
# seeds.sh NAME DIR
# Writes the seed corpus of the fuzz target fuzz_NAME into DIR, made at test
# time by independent writers (ImageMagick, cjpeg). A format can bring its
# own generator as seeds-NAME.sh DIR SRCDIR beside this script (SRCDIR holds
# the source pictures below). A name known neither here nor so gets whatever
# ImageMagick writes under that name, and at worst one small file: a new
# target always runs.
set -e
name=$1 dir=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT

# Small deterministic source pictures: odd sizes exercise row padding.
convert -size 23x13 gradient:red-blue "$src/grad.ppm"
convert -seed 1 -size 19x11 plasma:fractal "$src/plasma.ppm"
convert -size 16x16 pattern:checkerboard "$src/check.ppm"
convert -size 5x3 xc:orange "$src/tiny.ppm"
pictures="grad plasma check tiny"

if [ -x "$here/seeds-$name.sh" ]; then
    "$here/seeds-$name.sh" "$dir" "$src"
else
    case "$name" in
    dib | bmp)
        for p in $pictures; do
            convert "$src/$p.ppm" -colors 2 -type Palette -compress None "BMP3:$dir/$p-1.bmp"
            convert "$src/$p.ppm" -colors 16 -type Palette -compress None "BMP3:$dir/$p-4.bmp"
            convert "$src/$p.ppm" -colors 200 -type Palette -compress None "BMP3:$dir/$p-8.bmp"
            convert "$src/$p.ppm" -type TrueColor "BMP3:$dir/$p-24.bmp"
        done
        convert "$src/plasma.ppm" -type TrueColor "$dir/plasma-v5.bmp"
        convert "$src/grad.ppm" -colors 200 -type Palette "BMP3:$dir/grad-rle8.bmp"
        ;;
    xbmp | xbm)
        for p in $pictures; do convert "$src/$p.ppm" -threshold 50% "$dir/$p.xbm"; done
        ;;
    ppm | pgm | pnm)
        for p in $pictures; do
            convert "$src/$p.ppm" "$dir/$p.ppm"
            convert "$src/$p.ppm" -set comment "seed $p" "$dir/$p.pgm"
        done
        { printf 'P6 #a comment\n4 2 255\n'; head -c 24 "$src/grad.ppm"; } > "$dir/commented.ppm"
        ;;
    jpeg | jpg)
        for p in grad plasma; do
            cjpeg -outfile "$dir/$p.jpg" "$src/$p.ppm"
            cjpeg -grayscale -outfile "$dir/$p-grey.jpg" "$src/$p.ppm"
            cjpeg -progressive -outfile "$dir/$p-prog.jpg" "$src/$p.ppm"
        done
        cjpeg -arithmetic -outfile "$dir/arith.jpg" "$src/plasma.ppm"
        cjpeg -restart 1 -sample 1x1 -outfile "$dir/restart.jpg" "$src/check.ppm"
        cjpeg -quality 5 -optimize -outfile "$dir/tiny.jpg" "$src/tiny.ppm" 2>/dev/null
        ;;
    *)
        for p in $pictures; do convert "$src/$p.ppm" "$name:$dir/$p.$name" 2>/dev/null || true; done
        ;;
    esac
fi
[ -n "$(ls -A "$dir")" ] || printf 'no seeds for %s\n' "$name" > "$dir/generic"
