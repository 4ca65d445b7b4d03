# Krel demo: a walk through the package on data it makes itself.
proc say {args} { puts [join $args] ; flush stdout }

set version [package require Krel]
say "Krel $version loaded into Tcl [info patchlevel], Tk [package present Tk]"
say "gimgHome: $gimgHome"
set krelCommands {}
foreach c {calc gimg winmsg rimage krel etran} {
    if {[llength [info commands $c]]} { lappend krelCommands $c }
}
say "commands: $krelCommands"
say "gimg version: [gimg version], rgb24: [gimg rgb24]"
say "application procedures: [lsort [info procs meter.*]] krelPause krelAbort view"

# Script archives are the package's own way of shipping Tcl code.
set lib [file join [pwd] demo-[pid].lib]
set ratio [calc compsave $lib {proc demoHello {} {return "hello from an archive"}}]
calc decompload $lib
file delete $lib
say "archive round trip: [demoHello] (ratio $ratio)"

# A synthetic four-band scene (blue, green, red, near infrared): water in
# the lower left, vegetation bright in the infrared, a road across.
set n 256
set bands {{} {} {} {}}
set values {}
for {set b 0} {$b < 4} {incr b} {
    for {set y 0} {$y < $n} {incr y} {
        for {set x 0} {$x < $n} {incr x} {
            set water [expr {hypot($x - 60, $y - 200) < 50}]
            set road [expr {abs($x - $y * 0.8 - 20) < 4}]
            set veg [expr {0.5 + 0.5 * sin($x * 0.07) * cos($y * 0.05)}]
            set noise [expr {(($x * 7919 + $y * 104729 + $b * 31) % 97) / 97.0}]
            if {$water} {
                set v [lindex {70 60 40 15} $b]
            } elseif {$road} {
                set v [lindex {150 150 155 140} $b]
            } else {
                set v [expr {[lindex {50 80 60 120} $b] + $veg * [lindex {10 40 15 110} $b]}]
            }
            lappend values [expr {int($v + 12 * $noise)}]
        }
    }
}
rimage open scene MBSQ -rows $n -columns $n -nbands 4
rimage data -in scene -data "BSQ 1 4 0 0 $n $n $values"
say "synthetic scene: [rimage cget scene -columns] x [rimage cget scene -rows] x [rimage cget scene -nbands] BYTE"

# Shown as a false-colour composite (infrared, red, green) with histogram
# equalisation, then saved as PNG through a Tk photo of the window.
wm withdraw .
set top [view scene -comb {4 3 2} -func HISTEQ]
update
set img [$top.image cget -image]
say "view: $top shows $img ([image width $img] x [image height $img], -comb [$img cget -comb], -func [$img cget -func]); gimg names: [gimg names]"
package require img::window
raise $top
update
set shot [image create photo -format window -data $top.image]
set png [file join [expr {[info exists env(KREL_DEMO_OUT)] ? $env(KREL_DEMO_OUT) : [pwd]}] demo-view.png]
$shot write $png -format png
say "saved [file tail $png]: [image width $shot] x [image height $shot], pixel (40,200) [$shot get 40 200] water, (200,40) [$shot get 200 40] land"
image delete $shot
destroy $top
exit 0
