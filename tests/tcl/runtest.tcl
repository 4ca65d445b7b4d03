# Runs one tcltest file and exits non-zero when any of its cases failed.
#   tclsh runtest.tcl file.test ?tcltest options?
package require tcltest 2
set file [lindex $argv 0]
set argv [lrange $argv 1 end]
# ctest runs test files side by side: each run gets its own scratch directory,
# or the child scripts and scratch files of one would overwrite another's.
set scratch [file join [pwd] scratch-[file rootname [file tail $file]]-[pid]]
file mkdir $scratch
tcltest::configure -testdir [file dirname [file normalize $file]] -tmpdir $scratch \
    -singleproc 1 -verbose e {*}$argv
# The package from this build, whatever is installed.
set auto_path [linsert $auto_path 0 $env(KREL_PKG_DIR)]
set ::krelFailed 0
set ::krelTotal 0
proc tcltest::cleanupTestsHook {} {
    variable numTests
    incr ::krelFailed $numTests(Failed)
    incr ::krelTotal $numTests(Total)
    # With Tk loaded, tcltest itself exits (with status 0) right after this
    # hook: leave first, with the real status.
    if {![catch {package present Tk}] && ![testConstraint interactive]} {
        catch {file delete -force $::scratch}
        exit [expr {$::krelFailed ? 1 : ($::krelTotal ? 0 : 3)}]
    }
}
if {[catch {source $file} msg opts]} {
    puts stderr "error while running $file: $msg\n[dict get $opts -errorinfo]"
    exit 2
}
if {$::krelTotal == 0} {
    puts stderr "$file ran no tests"
    exit 3
}
catch {file delete -force $scratch}
exit [expr {$::krelFailed ? 1 : 0}]
