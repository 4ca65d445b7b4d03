#!/bin/sh
# Listing every page of a 5000-page TIFF by file name (`tiff data f -volume`,
# then `tiff data f -volume $i` for each page) against `tiffdump f >
# /dev/null`, both measured here. Usage: bench/tags_vs_tiffdump.sh BUILD_DIR
set -e
build=${1:?usage: bench/tags_vs_tiffdump.sh BUILD_DIR}
lib="$(cd "$build/krel" && pwd)/libkrelcore.so"
data=${BENCH_DIR:-$build/bench-data}
mkdir -p "$data"
command -v tiffdump >/dev/null || { echo "tiffdump is missing (apt-get install libtiff-tools)" >&2; exit 1; }
f="$data/pages5000.tif"

cat > "$data/tags.tcl" <<TCL
load $lib Tiff
lassign \$argv f make
if {\$make ne ""} {
    # 5000 pages of 4 x 2 bytes, each directory with eleven entries and an
    # ImageDescription at an offset.
    set ch [open \$f wb]
    set n 5000
    set dirBytes [expr {2 + 11 * 12 + 4}]
    set pageBytes [expr {8 + 16 + \$dirBytes}]
    puts -nonewline \$ch [binary format a2si II 42 8]
    for {set p 0} {\$p < \$n} {incr p} {
        set at [expr {8 + \$p * \$pageBytes}]
        set next [expr {\$p + 1 < \$n ? \$at + \$pageBytes : 0}]
        set data [expr {\$at + 2 + 11 * 12 + 4}]
        set text [expr {\$data + 8}]
        set e ""
        foreach {tag type count value} [list 256 3 1 4  257 3 1 2  258 3 1 8  259 3 1 1  262 3 1 1 \\
                270 2 16 \$text  273 4 1 \$data  277 3 1 1  278 3 1 2  279 4 1 8  284 3 1 1] {
            append e [binary format ssi \$tag \$type \$count]
            append e [expr {\$type == 3 ? [binary format ss \$value 0] : [binary format i \$value]}]
        }
        puts -nonewline \$ch [binary format s 11]\$e[binary format i \$next]
        puts -nonewline \$ch [binary format a8a16 "" [format "page %10d" \$p]]
    }
    close \$ch
    exit
}
set t [clock microseconds]
set n [tiff data \$f -volume]
for {set i 1} {\$i <= \$n} {incr i} { tiff data \$f -volume \$i }
puts [expr {([clock microseconds] - \$t) / 1e6}]
TCL

[ -f "$f" ] || tclsh "$data/tags.tcl" "$f" make
best_tags=999; best_dump=999
for i in 1 2 3; do
    t=$(tclsh "$data/tags.tcl" "$f")
    best_tags=$(awk -v a="$t" -v b="$best_tags" 'BEGIN { print (a < b ? a : b) }')
    s=$(date +%s.%N); tiffdump "$f" > /dev/null 2>&1; e=$(date +%s.%N)
    best_dump=$(awk -v s="$s" -v e="$e" -v b="$best_dump" 'BEGIN { t = e - s; print (t < b ? t : b) }')
done
printf 'tiff data, 5000 pages by name: %.3f s   tiffdump: %.3f s   ratio: %.2f (required <= 2.00)\n' \
    "$best_tags" "$best_dump" "$(awk -v a="$best_tags" -v b="$best_dump" 'BEGIN { print a / b }')"
