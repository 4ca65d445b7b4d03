# calc correl and etran parser against their peers, measured in the same run:
#   correl of 4096 numbers against 65536 (61441 lags), list parsing included,
#   against numpy (float64 np.correlate 'valid' with cumulative sums for the
#   moving sums);
#   etran parser of 100000 statements against Python 3's compile().
# Usage: TCLLIBPATH=BUILD/krel tclsh bench/calc_bench.tcl
package require Krel

proc best {script n} {
    set best Inf
    for {set i 0} {$i < $n} {incr i} {
        set t [lindex [time {uplevel 1 $script}] 0]
        if {$t < $best} { set best $t }
    }
    expr {$best / 1e6}
}

set py /usr/bin/python3
set dir [file join [expr {[info exists env(TMPDIR)] ? $env(TMPDIR) : "/tmp"}] krel-calc-bench-[pid]]
file mkdir $dir

# Two noisy profiles on an offset, the short one cut out of the long one.
calc rand 3
set long {}
for {set i 0} {$i < 65536} {incr i} {
    lappend long [format %.4f [expr {1000 + 20 * sin($i / 300.0) + [calc rand] / 3276.7}]]
}
set short [lrange $long 30000 34095]
set f [open [file join $dir long.txt] w]; puts $f $long; close $f
set f [open [file join $dir short.txt] w]; puts $f $short; close $f
set ours [best {calc correl $short $long} 3]
set answer [calc correl $short $long]
set peer [exec $py -c {
import sys, time, numpy as np
s = np.loadtxt(sys.argv[1]); l = np.loadtxt(sys.argv[2])
best = 1e9
for _ in range(3):
    t = time.perf_counter()
    n = len(s)
    dots = np.correlate(l, s, 'valid')
    c = np.concatenate(([0.0], np.cumsum(l))); c2 = np.concatenate(([0.0], np.cumsum(l * l)))
    sy = c[n:] - c[:-n]; syy = c2[n:] - c2[:-n]
    mx = s.mean(); vx = (s * s).sum() - n * mx * mx
    my = sy / n; vy = syy - n * my * my
    r = (dots - n * mx * my) / np.sqrt(vx) / np.sqrt(vy)
    k = int(np.argmax(r * r))
    best = min(best, time.perf_counter() - t)
print(best, k)
} [file join $dir short.txt] [file join $dir long.txt]]
puts [format "calc correl 4096 x 65536: %.3f s (answer %s)   numpy: %.3f s (lag %d)   ratio numpy/ours: %.2f (required >= 1)" \
          $ours $answer [lindex $peer 0] [lindex $peer 1] [expr {[lindex $peer 0] / $ours}]]

set text [join [lrepeat 100000 {v1 = (a + b * c - d) / (e - f * 2.5)}] {; }]
set f [open [file join $dir stmts.txt] w]; puts -nonewline $f $text; close $f
set ours [best {set code [etran parser $text]} 3]
set peer [exec $py -c {
import sys, time
text = open(sys.argv[1]).read()
best = 1e9
for _ in range(3):
    t = time.perf_counter(); compile(text, "bench", "exec"); best = min(best, time.perf_counter() - t)
print(best)
} [file join $dir stmts.txt]]
puts [format "etran parser, %d bytes, %d instructions: %.3f s   python compile(): %.3f s   ratio: %.2f (required >= 3)" \
          [string length $text] [llength $code] $ours $peer [expr {$peer / $ours}]]
file delete -force $dir
