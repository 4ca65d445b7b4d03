#!/bin/sh
# seeds-native.sh DIR SRCDIR
# The package's own writers (the fuzz target writes them when KREL_FUZZ_SEEDS
# is set) and ERDAS 7.4 files from GDAL.
set -e
dir=$1 src=$2
KREL_FUZZ_SEEDS="$dir" "$KREL_FUZZER" 2>/dev/null
gdal_translate -q -of LAN -ot Byte -scale "$src/grad.ppm" "$dir/gdal-byte.lan"
gdal_translate -q -of LAN -ot Int16 -scale 0 65535 0 4000 "$src/plasma.ppm" "$dir/gdal-16.lan"
rm -f "$dir"/*.aux.xml
