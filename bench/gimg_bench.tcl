# Redraw speed of a gimg display against Tk's photo image doing the same
# work, measured in the same run:
#   a 1024 x 1024 display of a 4096 x 4096 x 3-band BYTE memory resident
#   image at magnification 0.25 with HISTEQ, full redraws and pans, versus
#   `copy -subsample 4` into a photo shown in a label, then `update`.
# Run under X (bench/run.sh starts Xvfb when there is no display).
package require Tk
package require Krel
wm deiconify .
wm geometry . 1100x1100+0+0
proc say {args} { puts [join $args]; flush stdout }

set N 4096
# A 509 x 509 tile of three different patterns, repeated over the scene.
set T 509
image create photo tile -width $T -height $T
set rows {}
for {set y 0} {$y < $T} {incr y} {
    set row {}
    for {set x 0} {$x < $T} {incr x} {
        set r [expr {int(128 + 100 * sin($x * 0.05) * cos($y * 0.03))}]
        set g [expr {($x * $y / 7) % 256}]
        set b [expr {int(255 * pow((($x + 3 * $y) % 509) / 509.0, 2))}]
        lappend row [format #%02x%02x%02x $r $g $b]
    }
    lappend rows $row
}
tile put $rows
image create photo scene -width $N -height $N
scene copy tile -to 0 0 $N $N
image delete tile
say "scene: ${N} x ${N} x 3 BYTE"

# Best and median time of n runs, in milliseconds (the median is robust
# against the other work of a shared machine).
proc best {script n} {
    set times {}
    for {set i 0} {$i < $n} {incr i} { lappend times [lindex [time {uplevel #0 $script}] 0] }
    set times [lsort -integer $times]
    return [list [expr {[lindex $times 0] / 1000.0}] [expr {[lindex $times [expr {$n / 2}]] / 1000.0}]]
}

# gimg: the photo becomes a memory resident RAM image.
set t0 [clock milliseconds]
image create gimg disp -file scene -comb {1 2 3} -mx 0.25 -my 0.25 -func HISTEQ
label .g -image disp -bd 0 -highlightthickness 0
place .g -x 0 -y 0
update
say "gimg attach + first render (statistics included): [expr {[clock milliseconds] - $t0}] ms, display [image width disp] x [image height disp]"

set n 41
# Warm both paths once so that first-touch costs are not measured.
disp update; update
foreach turbo {0 1} {
    disp configure -turbo $turbo
    update
    lassign [best {disp update; update} $n] bestRedraw avgRedraw
    set ::sc 0
    lassign [best {disp configure -sc [set ::sc [expr {$::sc ? 0 : 64}]]; update} $n] bestPan avgPan
    set res($turbo) [list $bestRedraw $avgRedraw $bestPan $avgPan]
}
destroy .g

# The peer: Tk's photo doing the equivalent.
image create photo view -width 1024 -height 1024
label .p -image view -bd 0 -highlightthickness 0
place .p -x 0 -y 0
update
lassign [best {view copy scene -subsample 4 4; update} $n] bestPhoto avgPhoto

foreach turbo {0 1} {
    lassign $res($turbo) br ar bp ap
    say [format "gimg -turbo %d: full redraw best %.1f ms (median %.1f), pan best %.1f ms (median %.1f)" $turbo $br $ar $bp $ap]
}
say [format "Tk photo copy -subsample 4 + update: best %.1f ms (median %.1f)" $bestPhoto $avgPhoto]
lassign $res(0) br ar bp ap
say [format "ratio gimg/photo (median, default -turbo 0): redraw %.2f, pan %.2f (required: below 1, and redraw <= 33 ms)" \
        [expr {$ar / $avgPhoto}] [expr {$ap / $avgPhoto}]]
exit 0
