#!/bin/sh
# Runs the getLine benchmark against its peer measured in the same run:
# streaming a 2 GiB BIL file (page cache warm) through getLine versus
# `cat FILE > /dev/null`. Usage: bench/run.sh BUILD_DIR  (built with -DKREL_BENCH=ON)
# BENCH_DIR chooses where the 2 GiB files are kept (default BUILD_DIR/bench-data).
set -e
build=${1:?usage: bench/run.sh BUILD_DIR}
bin="$build/bench/bench_getline"
[ -x "$bin" ] || { echo "no $bin: configure with -DKREL_BENCH=ON and build bench_getline" >&2; exit 1; }
data=${BENCH_DIR:-$build/bench-data}
mkdir -p "$data"

now() { date +%s.%N; }

run_case() {  # name bands columns rows
    file="$data/$1.lan"
    [ -f "$file" ] || "$bin" make "$file" "$2" "$3" "$4"
    size=$(stat -c %s "$file")
    cat "$file" > /dev/null; cat "$file" > /dev/null  # warm the page cache
    best_cat=0
    best_get=0
    for i in 1 2 3; do
        t0=$(now); cat "$file" > /dev/null; t1=$(now)
        best_cat=$(awk -v s="$size" -v a="$t0" -v b="$t1" -v m="$best_cat" \
            'BEGIN { r = s / 1048576 / (b - a); print (r > m ? r : m) }')
        out=$("$bin" read "$file")
        rate=$(echo "$out" | sed -n 's/.*: \([0-9.]*\) MiB\/s.*/\1/p')
        best_get=$(awk -v r="$rate" -v m="$best_get" 'BEGIN { print (r > m ? r : m) }')
    done
    printf '%s: %d bands x %d columns x %d rows, %s bytes\n' "$1" "$2" "$3" "$4" "$size"
    echo "  $out"
    printf '  cat: %.0f MiB/s   getLine: %.0f MiB/s   ratio getLine/cat: %.2f (required >= 0.50)\n' \
        "$best_cat" "$best_get" "$(awk -v g="$best_get" -v c="$best_cat" 'BEGIN { print g / c }')"
}

run_case bil4x8192 4 8192 65536
run_case bil1x512 1 512 4194304
"$bin" memory 4096 4096 4

# rimage copy against gdal_translate.
"$(dirname "$0")/copy_vs_gdal.sh" "$build"

# rimage georef against gdalwarp.
"$(dirname "$0")/georef_vs_gdal.sh" "$build"
# Listing the tags of a 5000-page TIFF against tiffdump.
"$(dirname "$0")/tags_vs_tiffdump.sh" "$build"

# Classification and statistics kernels against numpy.
"$build/bench/bench_classify" "${BENCH_DIR:-$build/bench-data}"

# calc correl and etran parser against numpy and Python.
TCLLIBPATH="$(cd "$build" && pwd)/krel" tclsh "$(dirname "$0")/calc_bench.tcl"
# Clustering and pixel tables against scikit-learn and numpy.
"$(dirname "$0")/cluster_bench.sh" "$build"

# The gimg display against Tk's photo image, under X (Xvfb when headless).
here=$(cd "$(dirname "$0")" && pwd)
TCLLIBPATH="$(cd "$build" && pwd)/krel" "$here/../tests/with-xvfb.sh" 24 wish "$here/gimg_bench.tcl"

# Band transforms, principal components, shaded relief and rotation against
# numpy and gdaldem.
/usr/bin/python3 "$(dirname "$0")/transforms_bench.py" "$build" "${BENCH_DIR:-$build/bench-data}"
# gimg dump against gdal_translate, and the copy magnifier against Tk photo
# copy -zoom (the 4096 x 4096 x 3 ERDAS scene made here once).
scene="$data/scene4096x3.lan"
[ -f "$scene" ] || "$bin" make "$scene" 3 4096 4096
cat "$scene" > /dev/null
TCLLIBPATH="$(cd "$build" && pwd)/krel" "$here/../tests/with-xvfb.sh" 24 wish "$here/gimg_ops_bench.tcl" "$scene" "$data"

# The Fourier transform (calc makefft) against numpy and FFTW.
"$(dirname "$0")/fft_vs_numpy.sh" "$build"
