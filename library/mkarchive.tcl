# Builds a script archive from Tcl sources with the package's own compsave:
#   tclsh mkarchive.tcl libkrelcore.so output.lib source.tcl ?source.tcl ...?
lassign $argv lib out
load $lib Calc
set text ""
foreach src [lrange $argv 2 end] {
    set f [open $src r]
    append text [read $f] \n
    close $f
}
calc compsave $out $text
# The archive must give back exactly what went in.
if {[calc decompload $out source] ne $text} {
    puts stderr "mkarchive: $out does not read back"
    exit 1
}
