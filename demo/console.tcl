# Krel demo, console part: a shell that loads the package through its console
# entry (Console_Init), as a console application does.
#   wish console.tcl /path/to/libkrelcore.so
# Once loaded, the standard channels are console channels: the report goes to
# the demo through a channel of its own.
set lib [lindex $argv 0]
if {[catch {open /dev/fd/1 {WRONLY APPEND}} out]} { set out [open /dev/fd/1 WRONLY] }
proc report {args} { puts $::out [join $args]; flush $::out }

set gimgHome [file dirname $lib]
wm title . "Krel demo"
load $lib Console
report "Console_Init: this shell has the console of slot 0, [krel version]"
puts "this line went to the console of slot 0"

set k [krel create]
report "krel create: application \"[krel eval $k {wm title .}]\" with console\
    \"[krel eval $k {console wm title .}]\" in slot $k"
krel eval $k {puts "hello from application [krel eval 0 {wm title .}]'s neighbour"}
krel eval $k {puts stderr "standard error shows in its own colour"}
report "its console shows: [string map [list \n " | "] [krel eval $k {console .text get 1.0 end-1c}]]"
report "evaluation across interpreters: [krel eval $k {expr {6 * 7}}]"

set t [lindex [split [krel thread] \n] 0]
report "krel thread: $t"

after 1500 {set shown 1}
vwait shown
krel delete $k
report "closed slot $k; exiting with the thread's console still open"
exit 0
