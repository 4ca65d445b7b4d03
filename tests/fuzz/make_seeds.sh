#!/bin/sh
# Writes a seed corpus for one fuzz target into a directory, made at test
# time by the independent tools (ImageMagick, libtiff's tiffcp, GDAL,
# dcmtk); a tool that is missing just contributes no seeds.
#   make_seeds.sh gif|tiff|dicom DIR
set -u
format=$1
out=$2
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
q() { "$@" > /dev/null 2>&1; }
case $format in
gif)
    q convert -size 7x5 gradient:red-blue "$out/plain.gif"
    q convert -size 19x11 -seed 2 plasma: -colors 200 "$out/plasma.gif"
    q convert -size 13x10 gradient:green-yellow -interlace GIF "$out/interlaced.gif"
    q convert -size 9x6 xc:red -fill blue -draw 'rectangle 2,2 5,4' -transparent red "$out/transparent.gif"
    q convert -dispose none -delay 0 -size 8x6 xc:red -dispose background -delay 5 -page +2+1 -size 4x3 xc:blue \
        -dispose previous -delay 10 -page +1+2 -size 3x3 xc:green +map -loop 0 "$out/animated.gif"
    q convert -size 6x4 xc:gray GIF87:"$out/gif87.gif"
    ;;
tiff)
    q convert -size 11x7 gradient:red-blue -depth 8 "$tmp/rgb.tif"
    q convert -size 9x5 gradient:white-black -depth 16 -type grayscale "$tmp/g16.tif"
    q convert -size 16x6 -seed 3 plasma: -colors 16 -type Palette "$tmp/pal.tif"
    q tiffcp -c none -r 3 "$tmp/rgb.tif" "$out/strips.tif"
    q tiffcp -c none -t -w 16 -l 16 "$tmp/rgb.tif" "$out/tiles.tif"
    q tiffcp -c packbits -r 2 "$tmp/rgb.tif" "$out/packbits.tif"
    q tiffcp -c packbits -t -w 16 -l 16 "$tmp/g16.tif" "$out/packbits-tiles.tif"
    q tiffcp -B -c none "$tmp/g16.tif" "$out/bigendian.tif"
    q tiffcp -c none "$tmp/pal.tif" "$out/palette.tif"
    q tiffcp -c none "$tmp/rgb.tif" "$tmp/g16.tif" "$out/pages.tif"
    q gdal_translate -q -a_srs EPSG:32633 -a_ullr 500000 4100000 500110 4099930 "$tmp/rgb.tif" "$out/geotiff.tif"
    # Pages the image reader refuses, which the tag listing still reads.
    q tiffcp -c lzw "$tmp/rgb.tif" "$tmp/g16.tif" "$out/lzw.tif"
    q tiffcp -c zip -B "$tmp/pal.tif" "$out/deflate-bigendian.tif"
    ;;
dicom)
    q convert -size 7x5 gradient:red-blue BMP3:"$tmp/rgb.bmp"
    q img2dcm -i BMP "$tmp/rgb.bmp" "$tmp/rgb.dcm"
    q dcmconv +ti "$tmp/rgb.dcm" "$out/rgb-implicit.dcm"
    q dcmconv +te "$tmp/rgb.dcm" "$out/rgb-explicit.dcm"
    q convert -size 6x4 gradient:white-black -type grayscale "$tmp/g.jpg"
    q img2dcm "$tmp/g.jpg" "$out/jpeg.dcm"
    q dcmdjpeg "$out/jpeg.dcm" "$tmp/g.dcm"
    q dcmconv +ti "$tmp/g.dcm" "$out/gray-implicit.dcm"
    q dcmconv +te "$tmp/g.dcm" "$out/gray-explicit.dcm"
    # Sequences and items of defined and undefined length, no meta group.
    q dcmodify -nb -i "(0008,1110)[0].(0008,1150)=1.2.3" -i "(0010,0010)=Doe^Jane" "$out/gray-explicit.dcm"
    q dcmconv +ti -e "$out/gray-explicit.dcm" "$out/gray-undefined.dcm"
    q dcmconv -F +ti "$out/gray-explicit.dcm" "$out/gray-bare.dcm"
    ;;
*)
    echo "usage: $0 gif|tiff|dicom DIR" >&2
    exit 2
    ;;
esac
exit 0
