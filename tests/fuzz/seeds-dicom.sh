#!/bin/sh
# Seeds of fuzz_dicom: see make_seeds.sh.
exec "$(dirname "$0")/make_seeds.sh" dicom "$1"
