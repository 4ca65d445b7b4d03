#!/bin/sh
# seeds-ptable.sh DIR SRCDIR
# A one-band and a three-band pixel table, written by the fuzz target itself
# (no other program writes them).
KREL_FUZZ_SEEDS="$1" exec "$KREL_FUZZER"
