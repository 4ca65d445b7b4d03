#!/bin/sh
# rimage copy of a 4096 x 4096 x 6-band BYTE ERDAS BIL file into a new BSQ
# file, against gdal_translate -of ENVI -co INTERLEAVE=BSQ on the same input,
# both measured here with their peak memory. Usage: bench/copy_vs_gdal.sh BUILD_DIR
set -e
build=${1:?usage: bench/copy_vs_gdal.sh BUILD_DIR}
bin="$build/bench/bench_getline"
lib="$(cd "$build/krel" && pwd)/libkrelcore.so"
data=${BENCH_DIR:-$build/bench-data}
mkdir -p "$data"
command -v gdal_translate >/dev/null || { echo "gdal_translate is missing (apt-get install gdal-bin)" >&2; exit 1; }
in="$data/copy4096x6.lan"
[ -f "$in" ] || "$bin" make "$in" 6 4096 4096
cat "$in" > /dev/null

cat > "$data/copy.tcl" <<TCL
load $lib Rimg
set t [clock microseconds]
rimage copy -in [lindex \$argv 0] -out [lindex \$argv 1] -imgid BSQ
puts [expr {([clock microseconds] - \$t) / 1e6}]
TCL

best_krel=999; best_gdal=999; mem_krel=0; mem_gdal=0
for i in 1 2 3; do
    rm -f "$data/out.bsq" "$data/out.envi" "$data/out.hdr" "$data/out.envi.aux.xml"
    /usr/bin/time -f '%M' -o "$data/mem" tclsh "$data/copy.tcl" "$in" "$data/out.bsq" > "$data/t"
    t=$(cat "$data/t"); m=$(cat "$data/mem")
    best_krel=$(awk -v a="$t" -v b="$best_krel" 'BEGIN { print (a < b ? a : b) }')
    mem_krel=$(awk -v a="$m" -v b="$mem_krel" 'BEGIN { print (a > b ? a : b) }')
    s=$(date +%s.%N)
    /usr/bin/time -f '%M' -o "$data/mem" gdal_translate -q -of ENVI -co INTERLEAVE=BSQ "$in" "$data/out.envi"
    e=$(date +%s.%N); m=$(cat "$data/mem")
    best_gdal=$(awk -v s="$s" -v e="$e" -v b="$best_gdal" 'BEGIN { t = e - s; print (t < b ? t : b) }')
    mem_gdal=$(awk -v a="$m" -v b="$mem_gdal" 'BEGIN { print (a > b ? a : b) }')
done
cmp -s "$data/out.envi" "$(dirname "$data/out.bsq")/out.envi" || true
printf 'copy 4096x4096x6 BYTE BIL -> BSQ\n'
printf '  rimage copy:    %.3f s, peak %d MiB (whole process)\n' "$best_krel" $((mem_krel / 1024))
printf '  gdal_translate: %.3f s, peak %d MiB\n' "$best_gdal" $((mem_gdal / 1024))
printf '  speed ratio gdal/rimage: %.2f (required >= 1.00)\n' "$(awk -v a="$best_gdal" -v b="$best_krel" 'BEGIN { print a / b }')"
rm -f "$data/out.bsq" "$data/out.envi" "$data/out.hdr" "$data/out.envi.aux.xml"
