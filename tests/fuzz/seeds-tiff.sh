#!/bin/sh
# Seeds of fuzz_tiff: see make_seeds.sh.
exec "$(dirname "$0")/make_seeds.sh" tiff "$1"
