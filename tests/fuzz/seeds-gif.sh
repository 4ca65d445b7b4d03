#!/bin/sh
# Seeds of fuzz_gif: see make_seeds.sh.
exec "$(dirname "$0")/make_seeds.sh" gif "$1"
