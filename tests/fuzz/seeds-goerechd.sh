#!/bin/sh
# seeds-goerechd.sh DIR SRCDIR
# Parameter files of orders 0 to 3, written by the fuzz target itself (no
# other program writes them).
KREL_FUZZ_SEEDS="$1" exec "$KREL_FUZZER"
