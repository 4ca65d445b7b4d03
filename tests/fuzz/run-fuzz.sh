#!/bin/sh
# run-fuzz.sh FUZZER FORMAT WORKDIR SECONDS
# Generates the seed corpus of FORMAT and runs the fuzzer over it for SECONDS.
# Fails (libFuzzer's own exit status) on a crash, a leak, a timeout or an
# input that takes more memory than the limit; the input is left in WORKDIR.
set -e
fuzzer=$1 format=$2 work=$3 seconds=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus"
# Formats without independent writers let the target write its own seeds.
KREL_FUZZER="$fuzzer" "$here/seeds.sh" "$format" "$work/seeds"
echo "fuzz $format: $(ls "$work/seeds" | wc -l) seeds, $seconds s"
export TMPDIR="$work"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$work/seeds"
