#!/bin/sh
# `calc makefft` of a 4096 x 4096 BYTE band (ERDAS 7.4 file), process start to
# finished FFT file, against numpy's fft2 of the band in memory and FFTW's
# in-place 2-D FFTW_ESTIMATE plan; then the in-memory kernel against FFTW's
# FFTW_MEASURE plan. Usage: bench/fft_vs_numpy.sh BUILD_DIR
set -e
build=${1:?usage: bench/fft_vs_numpy.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
bin="$build/bench/bench_fft"
[ -x "$bin" ] || { echo "no $bin (needs libfftw3-dev): skipped"; exit 0; }
data=${BENCH_DIR:-$build/bench-data}
mkdir -p "$data"
n=4096
band="$data/fft-band.lan"
[ -f "$band" ] || "$bin" make "$band" $n
pkg=$(cd "$build" && pwd)/krel

now() { date +%s.%N; }
script="$data/makefft.tcl"
echo "package require Krel; calc makefft in=$band out=$data/fft-band.fft" > "$script"
# Best of 3 into a new file (the previous output removed and the disk
# synced before each run, outside the timing), and best of 3 over an existing
# file: there ext4 starts writing the new file's data back when it is renamed
# over the old one (auto_da_alloc), which the run then pays.
best=1000
for i in 1 2 3; do
    rm -f "$data/fft-band.fft"
    sync
    t0=$(now)
    TCLLIBPATH="$pkg" tclsh "$script" > /dev/null
    t1=$(now)
    best=$(awk -v a="$t0" -v b="$t1" -v m="$best" 'BEGIN { t = b - a; print (t < m ? t : m) }')
done
over=1000
for i in 1 2 3; do
    sync
    t0=$(now)
    TCLLIBPATH="$pkg" tclsh "$script" > /dev/null
    t1=$(now)
    over=$(awk -v a="$t0" -v b="$t1" -v m="$over" 'BEGIN { t = b - a; print (t < m ? t : m) }')
done
# CPU time of one run (both threads), which a busy machine does not inflate.
cpu=""
if [ -x /usr/bin/time ]; then
    cpu=$( { TCLLIBPATH="$pkg" /usr/bin/time -f 'CPU %U %S' tclsh "$script" > /dev/null; } 2>&1 | sed -n 's/^CPU //p')
fi
# The same process start and package load without the transform, to show
# what the transform itself costs.
echo "package require Krel" > "$data/load.tcl"
t0=$(now); TCLLIBPATH="$pkg" tclsh "$data/load.tcl" > /dev/null; t1=$(now)
start=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

kernel=$("$bin" kernel $n)
estimate=$(echo "$kernel" | sed -n 's/^FFTW_ESTIMATE_SECONDS //p')
if numpy=$(/usr/bin/python3 "$here/fft_numpy.py" "$band" $n 2>/dev/null); then
    np_s=$(echo "$numpy" | sed -n 's/^NUMPY_SECONDS //p')
    echo "$numpy" | grep -v '^NUMPY_SECONDS'
else
    np_s=""
    echo "peer: numpy not available"
fi
echo "$kernel" | grep -v '^FFTW_ESTIMATE_SECONDS'
printf 'calc makefft %dx%d BYTE, op=XY, process start to finished file: %.3f s (process start and package load alone %.3f s)\n' \
    $n $n "$best" "$start"
printf '  the same over an existing output file (renamed over it): %.3f s\n' "$over"
[ -n "$cpu" ] && echo "  CPU time of a run, process start to finished file (user system, both threads): $cpu"
echo "  machine load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
[ -n "$np_s" ] && printf '  numpy.fft.fft2 in memory: %.3f s   ratio numpy/makefft: %.2f (required >= 1.50)\n' \
    "$np_s" "$(awk -v a="$np_s" -v b="$best" 'BEGIN { print a / b }')"
printf '  FFTW_ESTIMATE in memory: %.3f s   ratio FFTW_ESTIMATE/makefft: %.2f (required > 1.00)\n' \
    "$estimate" "$(awk -v a="$estimate" -v b="$best" 'BEGIN { print a / b }')"
