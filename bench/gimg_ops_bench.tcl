# Speed of two gimg operations against what a user would otherwise run,
# both measured in this run (under X: bench/run.sh starts Xvfb when headless):
#   dump of a 4096 x 4096 x 3 BYTE ERDAS scene at magnification 1 with LINEAR
#   as a 24-bit TIFF, versus gdal_translate -of GTiff -scale_1..3 with the
#   same ranges (best of 3);
#   a 256 x 256 copy magnifier at x4 re-centred 100 times, versus Tk photo
#   `copy -from ... -zoom 4 4` into a shown photo (mean per move).
# Usage: wish gimg_ops_bench.tcl SCENE.lan WORKDIR
package require Tk
package require Krel
lassign $argv scene work
wm deiconify .
wm geometry . 600x600+0+0
proc say {args} { puts [join $args]; flush stdout }
proc seconds {script} { expr {[lindex [time {uplevel #0 $script}] 0] / 1e6} }

say "dump: $scene, [file size $scene] bytes; gdal: [exec gdal_translate --version]"
image create gimg disp -file $scene -comb {1 2 3} -func LINEAR -maxw 4096 -maxh 4096
say "  display [image width disp] x [image height disp], LINEAR -std [disp cget -std]"
# The value ranges the LINEAR tables stretch: the first and last input
# values whose table entry leaves the bottom and reaches the top.
set scale {}
foreach ch {1 2 3} {
    set lut [disp getLookup any]
    set lo 0; set hi 255
    foreach e $lut { if {[lindex $e $ch] == 0} { set lo [lindex $e 0] } }
    foreach e [lreverse $lut] { if {[lindex $e $ch] == 255} { set hi [lindex $e 0] } }
    lappend scale -scale_$ch $lo $hi 0 255
}
say "  ranges: $scale"
set out [file join $work dump.tif]
set best_krel 1e9; set best_gdal 1e9
for {set i 0} {$i < 3} {incr i} {
    file delete -force $out [file join $work gdal.tif]
    set t [seconds [list disp dump $out TIFF 24 1]]
    set best_krel [expr {min($best_krel, $t)}]
    set t [seconds [list exec gdal_translate -q -of GTiff -ot Byte {*}$scale $scene [file join $work gdal.tif]]]
    set best_gdal [expr {min($best_gdal, $t)}]
}
say [format "  gimg dump TIFF 24: %.3f s   gdal_translate: %.3f s   ratio gdal/dump: %.2f (required >= 1.50)" \
    $best_krel $best_gdal [expr {$best_gdal / $best_krel}]]
file delete -force $out [file join $work gdal.tif]

# The magnifier: a 1024 x 1024 source display at 0.25 of the scene held in
# memory (`resident`, as the photo is), a 256 x 256 view at x4.
disp configure -mx 0.25 -my 0.25
say "magnifier source: [image width disp] x [image height disp], resident [disp resident 1]"
image create gimg mag -width 256 -height 256
label .m -image mag -bd 0 -highlightthickness 0
place .m -x 0 -y 0
mag copy disp 512 512 4 4
update
set n 100
set t [seconds {
    for {set i 0} {$i < $::n} {incr i} {
        mag copy disp [expr {100 + ($i * 37) % 800}] [expr {100 + ($i * 53) % 800}] 4 4
        update idletasks
    }
}]
set krel_ms [expr {$t * 1000 / $n}]
destroy .m
# Tk photo: the same 1024 x 1024 picture as a photo, 64 x 64 zoomed by 4.
disp dump srcphoto TKPHOTO 24 1
image create photo zoom -width 256 -height 256
label .p -image zoom -bd 0 -highlightthickness 0
place .p -x 300 -y 0
update
set t [seconds {
    for {set i 0} {$i < $::n} {incr i} {
        set x [expr {100 + ($i * 37) % 800 - 32}]; set y [expr {100 + ($i * 53) % 800 - 32}]
        zoom copy srcphoto -from $x $y [expr {$x + 64}] [expr {$y + 64}] -zoom 4 4
        update idletasks
    }
}]
set tk_ms [expr {$t * 1000 / $n}]
say [format "magnifier 256 x 256 x4, %d moves: gimg copy %.2f ms/move (required <= 5)   Tk photo copy -zoom %.2f ms/move   ratio tk/gimg: %.2f (required > 1)" \
    $n $krel_ms $tk_ms [expr {$tk_ms / $krel_ms}]]
exit
