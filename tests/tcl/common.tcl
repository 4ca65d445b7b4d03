# Shared helpers of the tcltest files.
package require tcltest 2
namespace import -force ::tcltest::*

set ::krelPkgDir $env(KREL_PKG_DIR)
set ::krelLib [file join $::krelPkgDir libkrelcore[info sharedlibextension]]
set ::krelSourceDir $env(KREL_SOURCE_DIR)
set ::krelDataDir [file normalize [file join $::krelSourceDir .. shared data]]
if {[info exists env(KREL_SHARED_DATA)]} {
    set ::krelDataDir $env(KREL_SHARED_DATA)
}
# Tests of the shared sample files need them beside the source tree (or in
# $KREL_SHARED_DATA); without them those tests are skipped.
testConstraint sharedData [file isdirectory $::krelDataDir]

# Run on its own (not through runtest.tcl), a test file would make its
# scratch files in the working directory, the source tree as often as not.
if {[file normalize [tcltest::temporaryDirectory]] eq [file normalize [pwd]]} {
    set scratch [file join [expr {[info exists env(TMPDIR)] ? $env(TMPDIR) : "/tmp"}] krel-tests-[pid]]
    file mkdir $scratch
    tcltest::configure -tmpdir $scratch
}

testConstraint display [expr {[info exists env(DISPLAY)] && $env(DISPLAY) ne ""}]

# Puts the environment back as `array get ::env` saw it. Unsetting the whole
# env array would cut its link to the process environment.
# Puts the environment back element by element: unsetting the whole env
# array would cut it off from the process environment.
proc restoreEnv {saved} {
    foreach k [array names ::env] {
        if {![dict exists $saved $k]} { unset ::env($k) }
    }
    dict for {k v} $saved {
        if {![info exists ::env($k)] || $::env($k) ne $v} { set ::env($k) $v }
    }
}

# Runs a script in a fresh tclsh (optionally without a display) and returns
# {exit-code output}.
proc runChild {script {env {}}} {
    set f [makeFile $script child[incr ::childCount].tcl]
    set saved [array get ::env]
    foreach {k v} $env {
        if {$v eq ""} { unset -nocomplain ::env($k) } else { set ::env($k) $v }
    }
    set code [catch {exec [info nameofexecutable] $f 2>@1} out opts]
    restoreEnv $saved
    if {$code} {
        set status [lindex [dict get $opts -errorcode] 2]
        if {$status eq ""} { set status 1 }
        return [list $status $out]
    }
    return [list 0 $out]
}

# Runs a script in a child tclsh with the package loaded, `input` on its
# standard input, under the command words `prefix` (setpriv, sh -c ...);
# returns {stdout stderr}.
proc runFed {script input {prefix {}}} {
    set n [incr ::childCount]
    set f [makeFile "lappend auto_path [list $::krelPkgDir]; package require Krel\n$script" fed$n.tcl]
    set in [makeFile $input fed$n.in]
    set err [file join [temporaryDirectory] fed$n.err]
    catch {exec {*}$prefix [info nameofexecutable] $f < $in 2> $err} out
    set ch [open $err]
    set e [read $ch]
    close $ch
    file delete $err
    list $out $e
}

# Captures what the library prints on the console (the current interpreter's
# stdout/stderr, reached through puts).
proc captureOutput {script} {
    set ::capturedOut ""
    rename ::puts ::krel_real_puts
    proc ::puts {args} {
        set nonl 0
        if {[lindex $args 0] eq "-nonewline"} { set nonl 1; set args [lrange $args 1 end] }
        if {[llength $args] == 1} { set args [list stdout {*}$args] }
        lassign $args chan text
        if {$chan in {stdout stderr}} {
            append ::capturedOut $text [expr {$nonl ? "" : "\n"}]
        } else {
            ::krel_real_puts {*}[expr {$nonl ? "-nonewline" : ""}] $chan $text
        }
    }
    try {
        uplevel #0 $script
    } finally {
        rename ::puts {}
        rename ::krel_real_puts ::puts
    }
    return $::capturedOut
}
