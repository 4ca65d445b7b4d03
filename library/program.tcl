# Application procedures of the Krel package, loaded at start-up from
# program.lib. The library evaluates krelPause, krelAbort, meter.reset and
# meter.set; view shows a RAM image.

# Waits, servicing events, while the run status asks for a pause.
proc krelPause {} {
    while {[krelStatus] == 2} {
        after 50 {set ::krelPauseTick 1}
        vwait ::krelPauseTick
    }
}

# Called when the run status asks a long operation to stop; the operation
# itself fails after this returns.
proc krelAbort {} {
    if {[llength [info commands krelAbortHook]]} {
        catch krelAbortHook
    }
}

# Run status as the console manager reports it; 0 where it is not present.
proc krelStatus {} {
    if {[llength [info commands krel]] && ![catch {krel status} s]} {
        return $s
    }
    return 0
}

# The progress bar: a frame whose inner bar grows with the fraction shown.
# Without a main window (plain tclsh) both procedures do nothing.
proc meter.exists {w} {
    expr {[llength [info commands winfo]] && [winfo exists $w]}
}

proc meter.reset {w} {
    if {![meter.exists $w]} { return }
    place $w.bar -relwidth 0
    if {[winfo exists $w.text]} { $w.text configure -text "" }
    update idletasks
}

proc meter.set {w fraction {text ""}} {
    if {![meter.exists $w]} { return }
    if {$fraction < 0} { set fraction 0 }
    if {$fraction > 1} { set fraction 1 }
    place $w.bar -relwidth $fraction -relheight 1
    if {[winfo exists $w.text]} {
        $w.text configure -text [format "%s%3.0f%%" $text [expr {$fraction * 100}]]
    }
    update idletasks
}

# Builds the status line with the meter at .status.info.meter.
proc meter.create {{parent .status}} {
    if {![llength [info commands frame]] || [winfo exists $parent.info.meter]} { return }
    if {![winfo exists $parent]} { frame $parent }
    frame $parent.info
    frame $parent.info.meter -width 200 -height 14 -relief sunken -borderwidth 1
    frame $parent.info.meter.bar -background #3a7bd5
    label $parent.info.meter.text -font {Helvetica 8} -background {}
    place $parent.info.meter.bar -x 0 -y 0 -relheight 1 -relwidth 0
    place $parent.info.meter.text -relx 0.5 -rely 0.5 -anchor center
    pack $parent.info.meter -side right -padx 4 -pady 2
    pack $parent.info -fill x
    pack $parent -side bottom -fill x
}

# Shows a RAM image (a tag or a file name) in a toplevel through a gimg image.
proc view {imgID args} {
    if {[lsearch -exact [image types] gimg] < 0} {
        error "view: gimg images are not available in this build"
    }
    set n 0
    while {[winfo exists .view$n]} { incr n }
    set top .view$n
    toplevel $top
    wm title $top "Krel view: $imgID"
    set img [image create gimg -file $imgID {*}$args]
    label $top.image -image $img -borderwidth 0
    pack $top.image -fill both -expand 1
    bind $top <Destroy> [list apply {{w img} {
        if {[winfo toplevel $w] eq $w} { catch {image delete $img} }
    }} %W $img]
    return $top
}
