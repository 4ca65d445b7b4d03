# Krel demo: a walk through the package on data it makes itself.
proc say {args} { puts [join $args] ; flush stdout }

set version [package require Krel]
say "Krel $version loaded into Tcl [info patchlevel], Tk [package present Tk]"
say "gimgHome: $gimgHome"
set krelCommands {}
foreach c {calc gimg winmsg rimage krel etran tiff dicom} {
    if {[llength [info commands $c]]} { lappend krelCommands $c }
}
say "commands: $krelCommands"
say "gimg version: [gimg version], rgb24: [gimg rgb24]"

set work [file join [pwd] demo-work]
file mkdir $work

# Script archives are the package's own way of shipping Tcl code.
set lib [file join $work demo.lib]
set ratio [calc compsave $lib {proc demoHello {} {return "hello from an archive"}}]
calc decompload $lib
say "archive round trip: [demoHello] (ratio $ratio)"

# A synthetic 6-band scene of four land covers: water in the north-west,
# forest in the north-east, fields in the south and a town in the middle.
# Spectra per class and band, plus noise from the package's own generator,
# so the scene is the same on every run.
set classes {water forest field town}
set spectra {
    water  {40 35 25 12  8  5}
    forest {30 45 30 120 70 35}
    field  {60 75 80 95 110 90}
    town   {110 105 100 90 120 130}
}
proc classAt {r c size} {
    set h [expr {$size / 2}]
    set dr [expr {$r - $h}]
    set dc [expr {$c - $h}]
    if {$dr * $dr + $dc * $dc < ($size / 6) * ($size / 6)} { return 3 }
    if {$r >= $h} { return 2 }
    expr {$c < $h ? 0 : 1}
}
set size 128
set bands 6
calc rand 1999
set truth {}
set pixels [lrepeat $bands {}]
for {set r 0} {$r < $size} {incr r} {
    for {set c 0} {$c < $size} {incr c} {
        set k [classAt $r $c $size]
        lappend truth [expr {$k + 1}]
        set spectrum [dict get $spectra [lindex $classes $k]]
        for {set b 0} {$b < $bands} {incr b} {
            set v [expr {[lindex $spectrum $b] + [calc rand] % 21 - 10}]
            lset pixels $b end+1 [expr {$v < 0 ? 0 : ($v > 255 ? 255 : $v)}]
        }
    }
}
set scene [file join $work scene.lan]
file delete $scene
rimage configure -file $scene -imgid E74 -pixel BYTE -rows $size -columns $size -nbands $bands
rimage create overwrite
rimage data -in $scene -data "BSQ 1 $bands 0 0 $size $size [join $pixels]"
set truthFile [file join $work truth.lan]
file delete $truthFile
rimage configure -file $truthFile -nbands 1
rimage create overwrite
rimage data -in $truthFile -data "BSQ 1 1 0 0 $size $size $truth"
say "wrote $scene: $size x $size, $bands bands of BYTE (ERDAS 7.4), and its ground truth"

set tag [rimage open $scene]
say "opened $scene as $tag: [rimage cget $tag -rows] rows, [rimage cget $tag -columns] columns,\
    [rimage cget $tag -nbands] bands, [rimage cget $tag -imgid]"
say "registry: [rimage list all]"
set stats [rimage hist -imgid $tag -list stats]
for {set b 0} {$b < $bands} {incr b} {
    lassign [lindex $stats $b] sd mean lo hi
    say [format "  band %d: mean %6.2f  sd %6.2f  range %3.0f..%3.0f" [expr {$b + 1}] $mean $sd $lo $hi]
}

# A window of the scene, bands 4, 3 and 2, copied into a new BIL file.
set window [file join $work window.bil]
rimage configure -file $window -imgid BIL -rows 64 -columns 64 -nbands 3
rimage create overwrite
rimage copy -in $tag -out $window -ir 32 -ic 32 -b {4:1;3:2;2:3}
set w [rimage open $window]
say "copied a 64 x 64 window of bands 4,3,2 to $window: [rimage cget $w -rows] x [rimage cget $w -columns],\
    [rimage cget $w -nbands] bands, [rimage cget $w -imgid]"
rimage close $w
# The scene on screen: a false-colour composite (near infrared, red, green)
# with histogram equalisation, saved as PNG through a Tk photo of the window.
wm withdraw .
set top [view $tag -comb {4 3 2} -func HISTEQ]
update
set img [$top.image cget -image]
say "view: $top shows $img ([image width $img] x [image height $img], -comb [$img cget -comb],\
    -func [$img cget -func]); gimg names: [gimg names]"
package require img::window
raise $top
update
set shot [image create photo -format window -data $top.image]
set png [file join [expr {[info exists env(KREL_DEMO_OUT)] ? $env(KREL_DEMO_OUT) : [pwd]}] demo-view.png]
$shot write $png -format png
say "saved $png: [image width $shot] x [image height $shot], pixel (20,20) [$shot get 20 20] water,\
    (100,20) [$shot get 100 20] forest"
image delete $shot
# Asking and exporting the display: statistics, a profile across the scene,
# means under a mask rectangle, a 4x magnifier saved as PNG, and the enhanced
# composite dumped as TIFF and JPEG and opened again.
say "stats of the composite: [$img stats]"
say "profile of band 1 across row 64: [lrange [$img profile 1 0 64 16 0 8 0] 0 15]"
$img mask data rc {16 16 48 48}
say "means under the mask rectangle {16 16 48 48}: [$img mean true mask]"
$img mask delete all
set mag [image create gimg -width 128 -height 128]
$mag copy $img 64 64 4 4
set magPng [file join [expr {[info exists env(KREL_DEMO_OUT)] ? $env(KREL_DEMO_OUT) : [pwd]}] demo-magnifier.png]
$mag dump $magPng TKPHOTO 24 1 {-format png}
say "saved the 4x magnifier as $magPng ([file size $magPng] bytes)"
image delete $mag
foreach {kind ext} {TIFF tif JPEG jpg} {
    set out [file join $work composite.$ext]
    $img dump $out $kind 24 1
    set t [rimage open $out]
    say "dumped the composite as $kind: $out, [rimage cget $t -columns] x [rimage cget $t -rows] x\
        [rimage cget $t -nbands] [rimage cget $t -imgid]"
    rimage close $t
}
destroy $top

rimage close $tag
say "closed everything; registry now: \{[rimage list]\}"

# ---- Supervised classification ---------------------------------------------------
# Training statistics for every class from the ground truth, then class maps
# by MAHALANOBIS and EUCLIDEAN, scored against the truth.

# Band 1 of a one-band BYTE class image file (a DIB or an ERDAS file) as a
# list of values, row by row from the top.
proc demoClassValues {file rows cols} {
    set c [open $file rb]
    set data [read $c]
    close $c
    if {[string range $data 0 1] ne "BM"} {
        binary scan [string range $data 128 end] cu[expr {$rows * $cols}] values
        return $values
    }
    binary scan $data @10iu@22i offset height
    set stride [expr {($cols + 3) / 4 * 4}]
    set values {}
    for {set r 0} {$r < $rows} {incr r} {
        set fileRow [expr {$height > 0 ? $rows - 1 - $r : $r}]
        binary scan $data @[expr {$offset + $fileRow * $stride}]cu$cols row
        lappend values {*}$row
    }
    return $values
}

proc demoClassify {work scene truthFile truth classes size} {
    set images {}
    set stat [file join $work train.ftr]
    file delete $stat
    set k 0
    foreach name $classes {
        incr k
        rimage gstat -in $scene -out $stat -stat $name -mask $truthFile -maskid $k
    }
    say "training statistics of [llength $classes] classes in $stat:"
    rimage statinfo -in $stat -info MEAN
    foreach rule {MAHALANOBIS EUCLIDEAN} {
        set out [file join $work class-[string tolower $rule].bmp]
        file delete $out
        rimage classify -in $scene -out $out -stat $stat -o $rule
        set values [demoClassValues $out $size $size]
        set counts [lrepeat [expr {[llength $classes] + 1}] 0]
        set right 0
        foreach v $values t $truth {
            lset counts $v [expr {[lindex $counts $v] + 1}]
            if {$v == $t - 1} { incr right }
        }
        set tag [rimage open $out]
        say [format "%-11s accuracy %.2f%% against the ground truth; class image %s (%s, %d colour indices)" \
            $rule [expr {100.0 * $right / [llength $truth]}] [file tail $out] [rimage cget $tag -imgid] \
            [rimage cget $tag -nindices]]
        set k 0
        foreach name [concat $classes unknown] {
            set colour [lrange [lindex [rimage getIndices $tag $k] 0] 1 3]
            say [format "    %-8s %6d pixels, colour %s" $name [lindex $counts $k] $colour]
            incr k
        }
        rimage close $tag
        lappend images $out
    }
    # The MAHALANOBIS class image on screen, in its class colours.
    if {[llength [info commands view]] && [lsearch -exact [image types] gimg] >= 0} {
        set top [view [lindex $images 0]]
        update
        set img [$top.image cget -image]
        say "view: $top shows the class image [file tail [lindex $images 0]] ([image width $img] x\
            [image height $img])"
        destroy $top
    }
}
demoClassify $work $scene $truthFile $truth $classes $size

# ---- Georeferencing ---------------------------------------------------------------
# The scene gets a 30 m map grid; band 4 is turned by 20 degrees and enlarged
# 1.2 times with "@". Control points pair map positions in the scene with
# where they appear in the turned image (picked to a tenth of a pixel); fits
# of orders 1 and 2 bring the turned image back into the scene's grid.

# Band `band` of a line-interleaved ERDAS BYTE file, row by row.
proc demoBand {file rows cols bands band} {
    set c [open $file rb]
    set data [read $c]
    close $c
    set values {}
    for {set r 0} {$r < $rows} {incr r} {
        binary scan $data @[expr {128 + ($r * $bands + $band - 1) * $cols}]cu$cols row
        lappend values {*}$row
    }
    return $values
}

proc demoGeoref {work scene size} {
    set x0 500015.0
    set y0 4199985.0
    rimage rform -in $scene -x0 $x0 -y0 $y0 -dx 30 -dy 30
    set turned [file join $work turned.lan]
    file delete $turned
    rimage configure -file $turned -imgid E74 -pixel BYTE -rows $size -columns $size -nbands 1 \
        -x0 0 -y0 0 -dx 1 -dy 1
    rimage create overwrite
    set angle 20.0
    set scale 1.2
    rimage georef -in $scene -out $turned -p @$angle,$scale,0,0 -b 4:1 -rs BI
    say "turned band 4 by $angle degrees, enlarged $scale times: $turned"
    # Where scene pixel (c, r) appears in the turned image: the inverse turn.
    set a [expr {$angle * acos(-1) / 180}]
    set o [expr {($size - 1) / 2.0}]
    set recs {}
    calc rand 7
    for {set k 1} {$k <= 13} {incr k} {
        set c [expr {16 + [calc rand] % ($size - 32)}]
        set r [expr {16 + [calc rand] % ($size - 32)}]
        set tc [expr {$o + $scale * (cos($a) * ($c - $o) + sin($a) * ($r - $o))}]
        set tr [expr {$o + $scale * (-sin($a) * ($c - $o) + cos($a) * ($r - $o))}]
        # The last point is a checkpoint: listed, not fitted.
        lappend recs [list [expr {$k < 13}] $k [expr {$x0 + 30 * $c}] [expr {$y0 - 30 * $r}] \
            [format %.1f $tc] [format %.1f $tr]]
    }
    set truth [demoBand $scene $size $size 6 4]
    foreach order {1 2} {
        set geo [file join $work fit$order.geo]
        lassign [calc geocalc -order $order -data $recs -file $geo] residuals j i rms
        say "order $order fit of 12 GCPs: residuals (ID DX DY) $residuals"
        say "  RMS X2, Y2, both: [join $rms]"
        set back [file join $work back$order.lan]
        file delete $back
        rimage configure -file $back -imgid E74 -pixel BYTE -rows $size -columns $size -nbands 1 \
            -x0 $x0 -y0 $y0 -dx 30 -dy 30
        rimage create overwrite
        rimage georef -in $turned -out $back -p $geo -rs BI
        set sum 0
        set n 0
        foreach v [demoBand $back $size $size 1 1] t $truth {
            if {$v} { set sum [expr {$sum + abs($v - $t)}]; incr n }
        }
        say [format "  back in the scene's grid: %d pixels, mean absolute difference %.2f from band 4" $n \
            [expr {$sum / double($n)}]]
    }
}
demoGeoref $work $scene $size
# ---- Band transforms, principal components, relief and rotation --------------------
# Beside the scene: its normalised ratio of bands 4 and 3 as a grey ramp, its
# first three principal components as a colour composite, shaded relief
# (LAMBERT and SL) of a synthetic DEM, and the scene turned right. Each is
# shown and saved as a PNG beside the build.
proc demoShow {work name imgID args} {
    set top [view $imgID {*}$args]
    update
    raise $top
    update
    set shot [image create photo -format window -data $top.image]
    set png [file join [expr {[info exists ::env(KREL_DEMO_OUT)] ? $::env(KREL_DEMO_OUT) : $work}] demo-$name.png]
    $shot write $png -format png
    say "view: $name ([image width $shot] x [image height $shot]) saved as $png"
    image delete $shot
    destroy $top
}
proc demoTransforms {work scene size} {
    set nratio [file join $work nratio.img]
    file delete $nratio
    rimage calc -in $scene -out $nratio -imgid BSQ -nbands 1 -f nratio -b 4,3
    rimage hist -imgid $nratio
    say "calc nratio of bands 4, 3: [rimage hist -imgid $nratio -list stats] (sd mean min max)"
    # -1 .. 1 stretched onto a grey ramp of bytes.
    set grey [file join $work nratio-grey.img]
    file delete $grey
    rimage calc -in $nratio -out $grey -f stretch -par 127.5,-1 -pixel BYTE

    set stat [file join $work all.ftr]
    set ev [file join $work all-ev.ftr]
    set pc [file join $work pc.img]
    file delete $stat $ev $pc
    rimage gstat -in $scene -out $stat -stat all
    rimage egv -in $stat -out $ev -stat all
    rimage trans -in $scene -out $pc -imgid BSQ -pixel BYTE -ev $ev -pc 1-3
    say "principal components 1-3 of the scene into $pc (BYTE, centred on 127.5):"
    rimage statinfo -in $ev -info ALL

    # A DEM of two hills and a valley, shaded by the Lambert model and with
    # a specular highlight seen from above the middle.
    set dem [file join $work dem.img]
    file delete $dem
    rimage configure -file $dem -imgid BSQ -pixel FLOAT -rows $size -columns $size -nbands 1
    rimage create overwrite
    set z {}
    for {set r 0} {$r < $size} {incr r} {
        for {set c 0} {$c < $size} {incr c} {
            lappend z [expr {60 * exp(-(($c - 40) ** 2 + ($r - 50) ** 2) / 500.0) +
                             45 * exp(-(($c - 90) ** 2 + ($r - 80) ** 2) / 300.0) - 0.1 * $r}]
        }
    }
    rimage data -in $dem -data "BSQ 1 1 0 0 $size $size $z"
    foreach op {LAMBERT SL} {
        set shade [file join $work shade-[string tolower $op].img]
        file delete $shade
        rimage gdem -in $dem -out $shade -op $op -zs 0.3 -az 315
        rimage hist -imgid $shade
        say "gdem $op: [rimage hist -imgid $shade -list stats]"
    }
    set turned [file join $work turned.lan]
    file delete $turned
    rimage rotate -in $scene -out $turned -dir RIGHT
    say "rotate RIGHT: [rimage cget $turned -rows] x [rimage cget $turned -columns]"

    if {[info exists ::env(DISPLAY)] && $::env(DISPLAY) ne ""} {
        demoShow $work nratio $grey
        demoShow $work pc123 $pc -comb {1 2 3} -func HISTEQ
        demoShow $work shade-lambert [file join $work shade-lambert.img]
        demoShow $work shade-sl [file join $work shade-sl.img]
        demoShow $work turned $turned -comb {4 3 2} -func HISTEQ
    }
}
demoTransforms $work $scene $size
# ---- Clustering without training data ----------------------------------------------
# ISODATA clustering of the same scene, scored against the ground truth by a
# one-to-one matching of clusters and classes (largest overlaps first), and
# the pixel table of bands 4, 3 and 2.

# What the modules print on the console while `script` runs.
proc demoCapture {script} {
    set ::demoOut ""
    rename ::puts ::demo_real_puts
    proc ::puts {args} {
        if {[lindex $args 0] eq "-nonewline"} { set args [lrange $args 1 end] }
        append ::demoOut [lindex $args end]
    }
    try { uplevel 1 $script } finally { rename ::puts {}; rename ::demo_real_puts ::puts }
    return $::demoOut
}

proc demoCluster {work scene truth classes size} {
    set map [file join $work clusters.bmp]
    set ftr [file join $work clusters.ftr]
    file delete $map $ftr
    set here [pwd]
    cd $work
    set out [demoCapture {rimage gisoc -in $scene -out $map -nc [llength $classes] -nr 10 -sk 2}]
    file rename -force iso.ftr $ftr
    cd $here
    regexp {Total number of iterations: (\d+)} $out -> passes
    set values [demoClassValues $map $size $size]
    set overlap [dict create]
    foreach v $values t $truth { dict incr overlap "$v $t" }
    set pairs [lsort -integer -decreasing -stride 2 -index 1 $overlap]
    set usedC {}
    set usedT {}
    set right 0
    foreach {pair n} $pairs {
        lassign $pair c t
        if {$c in $usedC || $t in $usedT} continue
        lappend usedC $c
        lappend usedT $t
        incr right $n
    }
    set nc [llength [lsort -unique $values]]
    say [format "gisoc: %d clusters after %d passes; agreement with the ground truth %.2f%% (one-to-one matching)" \
        $nc $passes [expr {100.0 * $right / [llength $truth]}]]
    set tag [rimage open $map]
    set k 0
    foreach entry [rimage getIndices $tag {*}[lsort -integer -unique $values]] {
        say "    cluster [lindex $entry 0]: colour [lrange $entry 1 3]"
    }
    rimage close $tag
    say "    class means in $ftr:"
    rimage statinfo -in $ftr -info MEAN
    set pt [file join $work scene432.lku]
    set out [demoCapture {rimage ptable -in $scene -pt $pt -b 4,3,2}]
    regexp {N = (\d+) U = (\d+)} $out -> pixels tuples
    say "ptable -b 4,3,2: $tuples distinct pixel vectors among $pixels pixels in [file tail $pt]"
}
demoCluster $work $scene $truth $classes $size

# ---- Tags of TIFF and DICOM files ------------------------------------------------
# The scene written as a TIFF, its first page listed with the names of
# tagnames.lib; with dcmtk at hand, band 1 written as a BMP becomes a DICOM
# file whose image group is listed.
set tif [file join $work scene.tif]
file delete $tif
rimage copy -in $scene -out $tif -imgid TIFF
calc decompload [file join $gimgHome tagnames.lib]
say "tags of $tif ([tiff data $tif -volume] page, names for [tiff count] tags, [dicom count] DICOM elements):"
foreach e [tiff data $tif] {
    lassign $e number type count value name
    say [format "  %5d %-26s type %2d count %4d value %s" $number $name $type $count $value]
}
if {[auto_execok img2dcm] ne ""} {
    set bmp [file join $work band1.bmp]
    file delete $bmp
    rimage configure -file $bmp -imgid DIB -rows $size -columns $size -nbands 1 -pixel BYTE
    rimage create overwrite
    rimage copy -in $scene -out $bmp -b {1:1}
    set dcm [file join $work band1.dcm]
    if {[catch {exec img2dcm -i BMP $bmp $dcm} err]} {
        say "img2dcm could not convert $bmp: $err"
    } else {
        say "group 0028 of $dcm:"
        foreach element [dicom data $dcm 28] { say "  [dicom data $dcm 28 $element]" }
    }
} else {
    say "no img2dcm (dcmtk): the DICOM listing is skipped"
}

# ---- Fourier transform -----------------------------------------------------------
# The spectrum of band 4 (near infrared) as a log power image, and the band
# low-passed with a bell in one gfftrans call, shown beside the original.

# The samples of an FFT file: {rows columns kind {re im re im ...}}.
proc demoFFTSamples {file} {
    set c [open $file rb]
    set data [read $c]
    close $c
    binary scan $data @84ii@100i rows cols kind
    binary scan $data @1024f[expr {2 * $rows * $cols}] values
    list $rows $cols $kind $values
}

# Writes values (one per pixel) into a new one-band BYTE image, scaled to 0..255.
proc demoByteImage {file rows cols values} {
    set lo [tcl::mathfunc::min {*}$values]
    set hi [tcl::mathfunc::max {*}$values]
    set scale [expr {$hi > $lo ? 255.0 / ($hi - $lo) : 0}]
    set bytes {}
    foreach v $values { lappend bytes [expr {round(($v - $lo) * $scale)}] }
    file delete $file
    rimage configure -file $file -imgid E74 -pixel BYTE -rows $rows -columns $cols -nbands 1
    rimage create overwrite
    rimage data -in $file -data "BSQ 1 1 0 0 $cols $rows $bytes"
}

proc demoFourier {work scene size} {
    set spectrum [file join $work band4.fft]
    set t0 [clock microseconds]
    calc makefft in=$scene out=$spectrum b=4
    set tMake [expr {([clock microseconds] - $t0) / 1e6}]
    set numpy ""
    if {![catch {exec /usr/bin/python3 -c "import numpy as np, time
b = np.fromfile('$scene', np.uint8, offset=128).reshape($size, 6, $size)\[:, 3\].astype(np.complex64)
t = time.perf_counter(); np.fft.fft2(b).astype(np.complex64); print(time.perf_counter() - t)"} out]} {
        set numpy [format ", numpy.fft.fft2 of the band in memory %.4f s" $out]
    }
    say [format "calc makefft: band 4 to %s in %.4f s%s" [file tail $spectrum] $tMake $numpy]
    set power [file join $work band4pp.fft]
    rimage gfftrans -in $spectrum -out $power -op PP
    lassign [demoFFTSamples $power] rows cols kind values
    set logPower {}
    foreach {p phase} $values { lappend logPower [expr {log(1.0 + $p)}] }
    set spectrumView [file join $work spectrum.lan]
    demoByteImage $spectrumView $rows $cols $logPower
    set centre [lindex $values [expr {2 * (($rows / 2) * $cols + $cols / 2)}]]
    say [format "  log power spectrum %d x %d (kind %s), zero frequency at (%d, %d) with power %.0f" \
        $rows $cols $kind [expr {$rows / 2}] [expr {$cols / 2}] $centre]
    set smooth [file join $work band4low.fft]
    rimage gfftrans -in $scene -b 4 -out $smooth -op XY -fp bell,12,2
    lassign [demoFFTSamples $smooth] rows cols kind values
    set real {}
    foreach {re im} $values { lappend real $re }
    set smoothView [file join $work band4low.lan]
    demoByteImage $smoothView $rows $cols $real
    say "  band 4 low-passed with a bell of radius 12 in one call (XY), back as kind $kind"
    if {[lsearch -exact [image types] gimg] >= 0 && [info exists ::env(DISPLAY)] && $::env(DISPLAY) ne ""} {
        set tops {}
        foreach {what file} [list spectrum $spectrumView original $scene low-passed $smoothView] {
            set args [expr {$what eq "original" ? {-comb {4 4 4}} : {}}]
            lappend tops [view $file {*}$args]
        }
        update
        say "  views: [join $tops {, }] (spectrum, original band 4, low-passed band 4)"
        foreach top $tops { destroy $top }
    }
}
demoFourier $work $scene $size

file delete -force $work

# Scripting utilities: band arithmetic as three-address code, the lag between
# two shifted noisy profiles, and the machine's memory and free disk.
etran resetvar
say "etran: ndvi = (nir - red) / (nir + red) becomes"
foreach in [etran parser {ndvi = (nir - red) / (nir + red)}] { say "    $in" }
calc rand 11
set profile {}
for {set i 0} {$i < 2000} {incr i} {
    lappend profile [expr {250 + 30 * sin($i / 40.0) + 10 * sin($i / 7.0) + [calc rand] / 3276.7}]
}
set shifted {}
foreach v [lrange $profile 137 [expr {137 + 511}]] { lappend shifted [expr {$v + [calc rand] / 3276.7}] }
lassign [calc correl $shifted $profile] r2 lag
say [format "calc correl: a 512-sample piece matches the profile at lag %d (r² %.4f)" $lag $r2]
lassign [calc memory] load total avail
say [format "memory: %d%% in use, %.1f of %.1f GiB available; free disk here: %.1f GiB" $load \
         [expr {$avail / 1073741824.0}] [expr {$total / 1073741824.0}] [expr {[calc freeDisk $work] / 1073741824.0}]]

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
