# The console window of the Krel console manager: a text widget that shows
# standard output and standard error, an input line whose Return evaluates
# the line in the application interpreter, and a command history.
# Loaded into each console interpreter from contk.lib; the library calls
# tkConsoleOutput, tkConsoleInput, tkConsoleXY and clear.

namespace eval ::krelcon {
    variable history {}
    variable historyPos 0
    variable waiting 0
    variable queued {}
}

proc ::krelcon::build {} {
    frame .f
    text .text -width 80 -height 24 -wrap char -yscrollcommand {.sb set} \
        -font {Courier 10} -background white -foreground black -undo 0
    scrollbar .sb -command {.text yview}
    frame .in
    label .in.prompt -text "%" -font {Courier 10}
    entry .entry -font {Courier 10}
    pack .in.prompt -in .in -side left
    pack .entry -in .in -side left -fill x -expand 1
    pack .in -side bottom -fill x
    pack .sb -side right -fill y
    pack .text -side left -fill both -expand 1
    .text tag configure stdout -foreground black
    .text tag configure stderr -foreground red3
    .text tag configure stdin -foreground blue4
    .text tag configure prompt -foreground gray40
    .text mark set output end
    .text mark gravity output right
    bind .entry <Return> {::krelcon::enter}
    bind .entry <KP_Enter> {::krelcon::enter}
    bind .entry <Up> {::krelcon::recall -1}
    bind .entry <Down> {::krelcon::recall 1}
    bind .text <Destroy> {::krelcon::closing}
    focus .entry
}

# A window that goes releases whoever waits for input.
proc ::krelcon::closing {} {
    variable waiting
    if {$waiting} { set ::consoleCmdLine "" }
}

# Writes text to the console, standard error in its own style. Text goes
# in at the output mark (moved by tkConsoleXY), overwriting what is there on
# the same line as a terminal does.
proc tkConsoleOutput {chan text} {
    if {![winfo exists .text]} return
    set tag [expr {$chan eq "stderr" ? "stderr" : "stdout"}]
    if {[.text compare output < "end - 1 char"]} {
        set line [lindex [split $text \n] 0]
        set stop [.text index "output + [string length $line] chars"]
        if {[.text compare $stop > "output lineend"]} { set stop [.text index "output lineend"] }
        .text delete output $stop
    }
    .text insert output $text $tag
    .text see output
}

# Waits for one line of input (or takes the next queued one) and leaves it,
# with its newline, in consoleCmdLine.
proc tkConsoleInput {} {
    if {[llength $::krelcon::queued]} {
        set ::consoleCmdLine "[lindex $::krelcon::queued 0]\n"
        set ::krelcon::queued [lrange $::krelcon::queued 1 end]
        return $::consoleCmdLine
    }
    if {![winfo exists .entry]} {
        set ::consoleCmdLine ""
        return ""
    }
    set ::krelcon::waiting 1
    .in.prompt configure -text ">"
    vwait ::consoleCmdLine
    set ::krelcon::waiting 0
    if {[winfo exists .in.prompt]} { .in.prompt configure -text "%" }
    return $::consoleCmdLine
}

# Lines for tkConsoleInput to take before it waits for typing.
proc tkConsoleQueue {args} {
    lappend ::krelcon::queued {*}$args
    return [llength $::krelcon::queued]
}

# Moves the output position to column x of line y (both from 0).
proc tkConsoleXY {x y} {
    if {![winfo exists .text]} return
    set lines [expr {int([.text index "end - 1 char"])}]
    while {$lines <= $y} {
        .text insert "end - 1 char" \n
        incr lines
    }
    set line [expr {$y + 1}]
    set len [string length [.text get $line.0 "$line.0 lineend"]]
    if {$len < $x} {
        .text insert "$line.0 lineend" [string repeat " " [expr {$x - $len}]]
    }
    .text mark set output $line.$x
}

proc clear {} {
    if {![winfo exists .text]} return
    .text delete 1.0 end
    .text mark set output end
}

proc ::krelcon::enter {} {
    variable history
    variable historyPos
    variable waiting
    set line [.entry get]
    .entry delete 0 end
    if {$line ne ""} {
        lappend history $line
        set historyPos [llength $history]
    }
    if {$waiting} {
        .text insert end "$line\n" stdin
        .text see end
        set ::consoleCmdLine "$line\n"
        return
    }
    .text insert end "% " prompt "$line\n" stdin
    .text mark set output end
    .text see end
    set code [catch {conAppRec $line} result]
    if {![winfo exists .text]} return
    if {$result ne ""} {
        .text insert end "$result\n" [expr {$code == 1 ? "stderr" : "stdout"}]
    }
    .text mark set output end
    .text see end
}

proc ::krelcon::recall {step} {
    variable history
    variable historyPos
    set n [expr {$historyPos + $step}]
    if {$n < 0 || $n > [llength $history]} return
    set historyPos $n
    .entry delete 0 end
    .entry insert 0 [lindex $history $n]
}

::krelcon::build
# The status line with the meter, where the application scripts provide it.
if {[llength [info commands meter.create]]} { catch meter.create }
# This console is the current console from now on.
if {[llength [info commands setConStdIO]]} { setConStdIO }
