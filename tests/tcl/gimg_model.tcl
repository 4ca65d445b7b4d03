# Shared by the gimg tests: a reference model of the display formulas
# (computed here independently of the library), scenes made through rimage,
# and helpers that show a gimg image and read its pixels back from the X
# server.
load $env(KREL_TESTX) Krel_testx

# ---------------------------------------------------------------------------
# Formulas.

namespace eval model {}

proc model::tone {x g mode} {
    if {$mode == 0} { return [expr {$x <= 0 ? 0.0 : pow($x + 1e-11, $g)}] }
    if {$mode == 1} {
        if {$x <= 0} { return 0.0 }
        if {$x >= 1} { return 1.0 }
        if {$x >= 0.5} { return [expr {1.0 - pow((1.0 - $x) * 2 + 1e-11, $g) * 0.5}] }
        return [expr {pow(2.0 * $x + 1e-11, $g) * 0.5}]
    }
    return $x
}

# Output range {lo hi} of -contrast and -bright.
proc model::outRange {contrast bright} {
    set c [expr {$contrast < -1 ? -1.0 : ($contrast > 1 ? 1.0 : double($contrast))}]
    if {$c <= 0} {
        set hi [expr {int((1 + $c) * 127.5)}]
        set lo [expr {255 - $hi}]
    } else {
        set lo [expr {int((1 - $c) * 127.5)}]
        set hi [expr {255 - $lo}]
    }
    set s [expr {int(($bright - 0.5) * 512)}]
    set clamp {apply {{v} {expr {$v < 0 ? 0 : ($v > 255 ? 255 : $v)}}}}
    return [list [{*}$clamp [expr {$lo + $s}]] [{*}$clamp [expr {$hi + $s}]]]
}

# Final fill of a table over the value range [a, b].
proc model::fill {lo hi a b {g 1.0} {mode 0} {remap {}}} {
    set out {}
    set omin [expr {min($lo, $hi)}]
    set omax [expr {max($lo, $hi)}]
    for {set i 0} {$i < 256} {incr i} {
        set v [expr {[llength $remap] ? [lindex $remap $i] : $i}]
        if {$v >= $b} { set v [expr {int($b)}] } elseif {$v < $a} { set v [expr {int($a)}] }
        if {$b - $a > 0} {
            set t [tone [expr {($v - $a) / double($b - $a)}] $g $mode]
            set o [expr {(1 - $t) * $lo + ($hi + 0.999) * $t}]
        } else {
            set o $lo
        }
        if {$o < $omin} { set o $omin }
        if {$o > $omax} { set o $omax }
        lappend out [expr {int($o)}]
    }
    return $out
}

# Statistics of a list of BYTE values: {mean sd min max bins}.
proc model::stats {values} {
    set n [llength $values]
    set sum 0.0; set sq 0.0
    set bins [lrepeat 256 0]
    foreach v $values {
        set sum [expr {$sum + $v}]
        set sq [expr {$sq + $v * $v}]
        lset bins $v [expr {[lindex $bins $v] + 1}]
    }
    set mean [expr {$sum / $n}]
    set sd [expr {sqrt(max(0.0, $sq / $n - $mean * $mean))}]
    return [list $mean $sd [tcl::mathfunc::min {*}$values] [tcl::mathfunc::max {*}$values] $bins]
}

# The range [L, H] of -range DETAIL (256 bins) or MEAN.
proc model::range {values mode k} {
    lassign [stats $values] m s mn mx bins
    if {$mode eq "MEAN"} {
        set L [expr {$m - $k * $s}]
        set H [expr {$m + $k * $s}]
    } else {
        set total [llength $values]
        set want [expr {0.005 * $k}]
        set cum 0
        for {set i 0} {$i < 256} {incr i} {
            incr cum [lindex $bins $i]
            if {double($cum) / $total >= $want} { set L $i; break }
        }
        set cum 0
        for {set i 255} {$i >= 0} {incr i -1} {
            incr cum [lindex $bins $i]
            if {double($cum) / $total >= $want} { set H $i; break }
        }
    }
    if {$L < $mn} { set L $mn }
    if {$H > $mx} { set H $mx }
    return [list $L $H]
}

proc model::linear {values mode k lo hi} {
    lassign [range $values $mode $k] L H
    return [fill $lo $hi $L $H]
}

proc model::histeq {values mode k lo hi {g 1.0} {gmode 0}} {
    lassign [range $values $mode $k] L H
    lassign [stats $values] m s mn mx bins
    set T 0
    for {set b 0} {$b < 256} {incr b} { if {$b >= $L && $b <= $H} { incr T [lindex $bins $b] } }
    set F0 [expr {[lindex $bins [expr {int($L)}]] / double($T)}]
    set cum 0
    set eq {}
    for {set b 0} {$b < 256} {incr b} {
        if {$b < $L} { set F 0.0 } elseif {$b > $H} { set F 1.0 } else {
            incr cum [lindex $bins $b]
            set F [expr {$cum / double($T)}]
        }
        if {$F > $F0} {
            lappend eq [expr {int([tone [expr {($F - $F0) / (1 - $F0)}] $g $gmode] * 255 + 0.5)}]
        } else {
            lappend eq 0
        }
    }
    return [fill $lo $hi 0 255 1.0 $gmode $eq]
}

# Level value of an 8-bit value in a dimension of n levels (colour cells of
# 8-bit screens).
proc q {v n} {
    if {$n >= 256} { return $v }
    if {$n <= 1} { return 0 }
    set step [expr {256.0 / ($n - 1)}]
    set level [expr {int(($v + $step / 2) / $step)}]
    return [expr {min(255, round($level * $step))}]
}

# ---------------------------------------------------------------------------
# Scenes.

# A memory resident image with the given band values (a list per band, rows
# of `cols` values).
proc makeImage {tag rows cols bandValues {pixel BYTE}} {
    catch {rimage close $tag}
    set nb [llength $bandValues]
    rimage open $tag MBSQ -rows $rows -columns $cols -nbands $nb -pixel $pixel
    rimage data -in $tag -data "BSQ 1 $nb 0 0 $cols $rows [concat {*}$bandValues]"
    return $tag
}

# ---------------------------------------------------------------------------
# Showing and reading back.

proc show {img} {
    destroy .show
    label .show -image $img -borderwidth 0 -padx 0 -pady 0 -highlightthickness 0
    place .show -x 0 -y 0
    wm deiconify .
    wm geometry . 600x600+0+0
    update
    testx::sync
    update
    return .show
}

# The visual of the test window: {class depth bpp rmask gmask bmask}.
proc visualInfo {} {
    if {![winfo exists .probe]} { frame .probe -width 1 -height 1; place .probe -x 599 -y 599; update }
    return [testx::visual .probe]
}

proc maskShift {mask} { set s 0; while {$mask && !($mask & 1)} { set mask [expr {$mask >> 1}]; incr s }; return $s }
proc maskBits {mask} { set s [maskShift $mask]; set m [expr {$mask >> $s}]; set b 0; while {$m & 1} { set m [expr {$m >> 1}]; incr b }; return $b }

# What the screen holds for 8-bit channel values {r g b} on a TrueColor
# visual: each value reduced to the bits of its mask.
proc expectFields {rgb} {
    lassign [visualInfo] class depth bpp rm gm bm
    set out {}
    foreach v $rgb mask [list $rm $gm $bm] {
        set bits [maskBits $mask]
        lappend out [expr {$bits >= 8 ? $v : $v >> (8 - $bits)}]
    }
    return $out
}

# The pixels of a window area as {r g b} fields (TrueColor) or colormap
# colours (PseudoColor), row by row.
proc screenPixels {win x y w h} {
    lassign [visualInfo] class depth bpp rm gm bm
    update
    testx::sync
    update
    set raw [testx::pixels $win $x $y $w $h]
    if {$class == 4 || $class == 5} {
        set out {}
        foreach p $raw {
            set f {}
            foreach mask [list $rm $gm $bm] { lappend f [expr {($p & $mask) >> [maskShift $mask]}] }
            lappend out $f
        }
        return $out
    }
    return [testx::rgb $win {*}$raw]
}

# Channel values expected on screen for a list of {r g b}.
proc expectPixels {list} {
    set out {}
    foreach rgb $list { lappend out [expectFields $rgb] }
    return $out
}

# Grey pixels {v v v} for a list of values.
proc greys {values} { lmap v $values { list $v $v $v } }
