#!/bin/sh
# seeds-fft.sh DIR SRCDIR
# FFT files of several kinds, written by the fuzz target itself through the
# Fourier modules.
KREL_FUZZ_SEEDS="$1" exec "$KREL_FUZZER"
