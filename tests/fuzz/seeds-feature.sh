#!/bin/sh
# seeds-feature.sh DIR SRCDIR
# One feature file of each kind, written by the fuzz target itself (no other
# program writes them).
KREL_FUZZ_SEEDS="$1" exec "$KREL_FUZZER"
