#!/bin/sh
# rimage georef of a 4096 x 4096 BYTE band into a 4096 x 4096 map grid, order 1
# nearest neighbour and order 2 bilinear, against gdalwarp on the same GCPs and
# grid (one thread, default error threshold). Both are timed from process
# start to finish; ours includes fitting the GCPs and creating the output.
# Usage: bench/georef_vs_gdal.sh BUILD_DIR  (BENCH_DIR: where the data is kept)
set -e
build=${1:?usage: bench/georef_vs_gdal.sh BUILD_DIR}
lib="$(cd "$build/krel" && pwd)/libkrelcore.so"
data=${BENCH_DIR:-$build/bench-data}
mkdir -p "$data"
command -v gdalwarp >/dev/null || { echo "gdalwarp is missing (apt-get install gdal-bin)" >&2; exit 1; }
/usr/bin/python3 -c "from osgeo import gdal" 2>/dev/null || { echo "python3-gdal is missing" >&2; exit 1; }

in="$data/georef4096.lan"
gcps="$data/georef-gcps.txt"
/usr/bin/python3 - "$in" "$gcps" <<'PY'
import os, sys
import numpy as np
from osgeo import gdal
path, gcps = sys.argv[1], sys.argv[2]
n = 4096
if not os.path.exists(path):
    r, c = np.mgrid[0:n, 0:n]
    img = ((c * 7 + r * 13 + (c * r) % 17) % 256).astype(np.uint8)
    ds = gdal.GetDriverByName("LAN").Create(path, n, n, 1, gdal.GDT_Byte)
    ds.GetRasterBand(1).WriteArray(img)
    ds = None
# 25 points over the scene: map = 10 m grid turned by 4 degrees, with a bend.
rng = np.random.default_rng(7)
with open(gcps, "w") as f:
    for k in range(25):
        x2, y2 = rng.uniform(0, n - 1, 2)
        a = np.radians(4.0)
        xm = 500000 + 10 * (np.cos(a) * x2 + np.sin(a) * y2) + 2e-4 * x2 * y2
        ym = 4150000 - 10 * (-np.sin(a) * x2 + np.cos(a) * y2) + 1e-4 * x2 * x2
        f.write("1 %d %.3f %.3f %.3f %.3f\n" % (k + 1, xm, ym, x2, y2))
PY
# The output grid: 4096 x 4096 pixels of 10 m around the scene's centre.
x0=499000.0; y0=4161000.0; dx=10; n=4096

cat > "$data/georef.tcl" <<TCL
set gimgHome [file dirname $lib]
load $lib Krel
lassign \$argv order rs out
set f [open $gcps]
set recs [split [string trim [read \$f]] \n]
close \$f
calc geocalc -order \$order -data \$recs -file $data/georef.geo
file delete \$out
rimage configure -file \$out -imgid E74 -rows $n -columns $n -nbands 1 -pixel BYTE -x0 $x0 -y0 $y0 -dx $dx -dy $dx
rimage create
rimage georef -in $in -out \$out -p $data/georef.geo -rs \$rs
TCL

# GDAL's input: the scene with the same GCPs (pixel/line at pixel centres + 0.5).
args=""
while read -r sel id x1 y1 x2 y2; do
    args="$args -gcp $(awk -v v="$x2" 'BEGIN { print v + 0.5 }') $(awk -v v="$y2" 'BEGIN { print v + 0.5 }') $x1 $y1"
done < "$gcps"
# shellcheck disable=SC2086
gdal_translate -q -of VRT $args "$in" "$data/georef-gcp.vrt"
te="$(awk -v x="$x0" -v d="$dx" 'BEGIN { printf "%.3f", x - d / 2 }') \
$(awk -v y="$y0" -v d="$dx" -v n="$n" 'BEGIN { printf "%.3f", y + d / 2 - n * d }') \
$(awk -v x="$x0" -v d="$dx" -v n="$n" 'BEGIN { printf "%.3f", x - d / 2 + n * d }') \
$(awk -v y="$y0" -v d="$dx" 'BEGIN { printf "%.3f", y + d / 2 }')"

echo "georef 4096x4096 BYTE -> 4096x4096 map grid ($(gdalwarp --version | head -1);"
echo "  peer: gdalwarp -q -overwrite -order N -r near|bilinear -te $te -ts $n $n -of GTiff, one thread,"
echo "  default error threshold, GDAL_CACHEMAX default; $(nproc) cores on the machine)"
cat "$in" > /dev/null
now() { date +%s.%N; }
for case in "1 NN near" "2 BI bilinear"; do
    set -- $case
    best_krel=999; best_gdal=999
    for i in 1 2 3; do
        s=$(now); tclsh "$data/georef.tcl" "$1" "$2" "$data/georef-out.lan" > /dev/null; e=$(now)
        best_krel=$(awk -v s="$s" -v e="$e" -v b="$best_krel" 'BEGIN { t = e - s; print (t < b ? t : b) }')
        s=$(now)
        # shellcheck disable=SC2086
        gdalwarp -q -overwrite -order "$1" -r "$3" -te $te -ts $n $n -of GTiff "$data/georef-gcp.vrt" "$data/georef-gdal.tif"
        e=$(now)
        best_gdal=$(awk -v s="$s" -v e="$e" -v b="$best_gdal" 'BEGIN { t = e - s; print (t < b ? t : b) }')
    done
    printf '  order %s %s: rimage georef %.3f s, gdalwarp -r %s %.3f s, ratio gdal/rimage %.2f (required >= 2.00)\n' \
        "$1" "$2" "$best_krel" "$3" "$best_gdal" "$(awk -v a="$best_gdal" -v b="$best_krel" 'BEGIN { print a / b }')"
done
rm -f "$data/georef-out.lan" "$data/georef-gdal.tif"
