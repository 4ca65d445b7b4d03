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

# The console manager: a console shell loads the package through its console
# entry. With a display, one runs beside this demo and opens a second
# application with its console window (krel create).
if {[info exists env(DISPLAY)] && $env(DISPLAY) ne ""} {
    foreach l [info loaded] {
        if {[lindex $l 1] eq "Krel"} { set lib [lindex $l 0] }
    }
    set script [file join [file dirname [file normalize [info script]]] console.tcl]
    foreach line [split [exec [info nameofexecutable] $script $lib] \n] {
        say "console: $line"
    }
}

exit 0
