"""The Fourier modules against numpy.

Writes 100 x 300 bands (8- and 16-bit ERDAS files, padded to 128 x 512),
runs `calc makefft` and `rimage gfftrans` on them in a tclsh with the
package, reads the FFT files here and compares every sample with the numpy
model of the transform, and the header statistics with the samples.
Usage: fft_check.py TCLSH-COMMAND... Exits 77 (skipped) when numpy is missing."""
import os
import struct
import subprocess
import sys
import tempfile

try:
    import numpy as np
except ImportError:
    print("numpy not available: skipped")
    sys.exit(77)

ROWS, COLS, PR, PC = 100, 300, 128, 512
TOL = 1e-5
failures = []


def write_lan(path, band, pack):
    head = bytearray(128)
    head[0:6] = b"HEAD74"
    struct.pack_into("<hh", head, 6, pack, 1)
    struct.pack_into("<ii", head, 16, band.shape[1], band.shape[0])
    with open(path, "wb") as f:
        f.write(head)
        f.write(band.astype("<u1" if pack == 0 else "<u2").tobytes())


def read_fft(path):
    data = open(path, "rb").read()
    magic = data[:16].split(b"\0")[0]
    band, rows, cols, srows, scols, kind = struct.unpack_from("<6i", data, 80)
    stats = struct.unpack_from("<9d", data, 104)
    assert magic == b"FFT IMAGE FILE" and len(data) == 1024 + rows * cols * 8, path
    v = np.frombuffer(data, "<f4", rows * cols * 2, 1024).astype(np.float64)
    return dict(band=band, rows=rows, cols=cols, src=(srows, scols), kind=kind, stats=stats,
                z=(v[0::2] + 1j * v[1::2]).reshape(rows, cols))


def check(name, got, ref):
    err = np.max(np.abs(got - ref)) / max(np.max(np.abs(ref)), 1e-30)
    good = err <= TOL
    print("%-34s relative error %.2e %s" % (name, err, "ok" if good else "FAILED"))
    if not good:
        failures.append(name)


def check_true(name, cond):
    print("%-34s %s" % (name, "ok" if cond else "FAILED"))
    if not cond:
        failures.append(name)


def padded(band):
    return np.tile(band, (2, 2))[:PR, :PC].astype(np.float64)


# The file conventions in numpy terms.
def fwd_x(p):
    return np.fft.fftshift(np.fft.ifft(p, axis=1) * p.shape[1], axes=1)


def fwd_y(p):
    return np.fft.fftshift(np.fft.ifft(p[::-1, :], axis=0) * p.shape[0], axes=0)


def inv_x(s):
    return np.fft.fft(np.fft.ifftshift(s, axes=1), axis=1) / s.shape[1]


def inv_y(s):
    return np.fft.fft(np.fft.ifftshift(s, axes=0), axis=0)[::-1, :] / s.shape[0]


def fwd_xy(p):
    return fwd_y(fwd_x(p))


def inv_xy(s):
    return inv_x(inv_y(s))


def gain(kind, rx, ry, n, amp, fa, axes=3, cx=PC // 2, cy=PR // 2):
    dx = np.arange(PC)[None, :] - cx
    dy = np.arange(PR)[:, None] - cy
    t = np.radians(fa)
    if axes == 1:
        r2 = np.broadcast_to((dx / rx) ** 2, (PR, PC))
    elif axes == 2:
        r2 = np.broadcast_to((dy / ry) ** 2, (PR, PC))
    else:
        u = (np.cos(t) * dx + np.sin(t) * dy) / rx
        v = (-np.sin(t) * dx + np.cos(t) * dy) / ry
        r2 = u * u + v * v
    e = -(r2 ** n)
    ex = np.exp(np.maximum(e, -708.39))
    if kind == "bell":
        return np.where(e < -708.39, 0.0, ex)
    h = np.where(e < -708.39, 1.0, 1 - amp * ex)
    return np.where(r2 <= 1, h, 1.0) if kind == "notch" else h


def check_stats(name, f):
    z = f["z"]
    count, xr, nr, xi, ni, mr, mi, sr, si = f["stats"]
    re, im = z.real, z.imag
    ref = np.array([xr, nr, xi, ni, mr, mi, sr, si])
    want = np.array([re.max(), re.min(), im.max(), im.min(), re.mean(), im.mean(), re.std(), im.std()])
    scale = max(np.max(np.abs(want)), 1e-30)
    err = np.max(np.abs(ref - want)) / scale
    good = count == PR * PC and err <= TOL
    print("%-34s count %d, relative error %.2e %s" % (name, count, err, "ok" if good else "FAILED"))
    if not good:
        failures.append(name)


def main():
    tclsh = sys.argv[1:]
    rng = np.random.default_rng(14)
    with tempfile.TemporaryDirectory() as tmp:
        path = lambda n: os.path.join(tmp, n)
        b8 = rng.integers(0, 256, (ROWS, COLS))
        b16 = rng.integers(0, 65536, (ROWS, COLS))
        write_lan(path("b8.lan"), b8, 0)
        write_lan(path("b16.lan"), b16, 2)
        ops = r"""
            package require Krel
            cd {%s}
            proc g {args} { rimage gfftrans {*}$args }
            foreach b {b8 b16} {
                calc makefft in=$b.lan out=$b.xy.fft
                calc makefft in=$b.lan out=$b.x.fft op=x
                calc makefft op=Y out=$b.y.fft in=$b.lan
            }
            g -in b8.lan -out xri.fft -op XRI
            g -in b8.lan -out yri.fft -op yri
            g -in b8.lan -out xyri.fft
            g -in b8.lan -out xpp.fft -op XPP
            g -in b8.lan -out ypp.fft -op YPP
            g -in b8.lan -out xypp.fft -op XYPP
            g -in xri.fft -out xri_yri.fft -op YRI
            g -in xyri.fft -out back.fft
            g -in xyri.fft -out inv_x.fft -op XRI
            g -in xyri.fft -out inv_y.fft -op YRI
            g -in xri.fft -out xri_back.fft
            g -in yri.fft -out yri_back.fft
            g -in xyri.fft -out pp.fft -op PP
            g -in pp.fft -out pp_ri.fft -op RI
            g -in xypp.fft -out xypp_back.fft -op XYRI
            foreach fa {0 30 90} {
                g -in xyri.fft -out bell$fa.fft -op FLTR -fp bell,40,15,2 -fa $fa
            }
            g -in xyri.fft -out high.fft -op FLTR -fp high,30,1.5,0.8
            g -in xyri.fft -out notch.fft -op FLTR -fp notch,6,2,1,300,70
            g -in xypp.fft -out bellpp.fft -op FLTR -fp bell,40,15,2 -fa 30
            g -in xri.fft -out bellx.fft -op FLTR -fp bell,40,2
            g -in b16.lan -out xyfilt.fft -op XY -fp bell,50,20,2 -fa 30
            g -in b16.lan -out yyfilt.fft -op YY -fp high,12,1,0.9
            g -in b16.lan -out xxfilt.fft -op XX -fp bell,25,3
            file copy -force xyri.fft same.fft
            g -in same.fft -out same.fft -op FLTR -fp bell,40,15,2
        """ % tmp
        script = path("ops.tcl")
        open(script, "w").write(ops)
        env = dict(os.environ)
        run = subprocess.run(tclsh + [script], env=env, capture_output=True, text=True)
        if run.returncode != 0:
            print(run.stdout, run.stderr)
            return 1
        rd = lambda n: read_fft(path(n))

        for name, band in (("b8", b8), ("b16", b16)):
            p = padded(band)
            xy, x, y = rd(name + ".xy.fft"), rd(name + ".x.fft"), rd(name + ".y.fft")
            check_true("makefft %s header" % name,
                       (xy["rows"], xy["cols"], xy["src"], xy["band"], xy["kind"], x["kind"], y["kind"])
                       == (PR, PC, (ROWS, COLS), 1, 1, 5, 6))
            check("makefft %s XY" % name, xy["z"], fwd_xy(p))
            check("makefft %s X" % name, x["z"], fwd_x(p))
            check("makefft %s Y" % name, y["z"], fwd_y(p))
            check_stats("makefft %s XY statistics" % name, xy)
            check_stats("makefft %s Y statistics" % name, y)

        p = padded(b8)
        s = fwd_xy(p)
        check("gfftrans XRI", rd("xri.fft")["z"], fwd_x(p))
        check("gfftrans YRI", rd("yri.fft")["z"], fwd_y(p))
        check("gfftrans XYRI", rd("xyri.fft")["z"], s)
        check_stats("gfftrans XYRI statistics", rd("xyri.fft"))
        for op, ref in (("xpp", fwd_x(p)), ("ypp", fwd_y(p)), ("xypp", s)):
            z = rd(op + ".fft")["z"]
            check("gfftrans %s power" % op.upper(), z.real, np.abs(ref))
            big = np.abs(ref) > 1e-3 * np.abs(ref).max()
            dphi = np.angle(np.exp(1j * (z.imag - np.angle(ref))))[big]
            check_true("gfftrans %s phase" % op.upper(), np.max(np.abs(dphi)) < 1e-4)
        check("XRI then YRI equals XY", rd("xri_yri.fft")["z"], s)
        back = rd("back.fft")
        check_true("XYRI twice gives FSRI", back["kind"] == 3)
        check("XYRI twice returns the band", back["z"], p)
        check("inverse XRI of SFRI", rd("inv_x.fft")["z"], inv_x(s))
        check("inverse YRI of SFRI", rd("inv_y.fft")["z"], inv_y(s))
        check("inverse of SFRIX", rd("xri_back.fft")["z"], p)
        check("inverse of SFRIY", rd("yri_back.fft")["z"], p)
        pp = rd("pp.fft")
        check("PP of SFRI", pp["z"].real, np.abs(s))
        check("RI of SFPP", rd("pp_ri.fft")["z"], s)
        check("XYRI of SFPP", rd("xypp_back.fft")["z"], p)
        for fa in (0, 30, 90):
            check("FLTR bell FA %d" % fa, rd("bell%d.fft" % fa)["z"], s * gain("bell", 40, 15, 2, 1, fa))
        check("FLTR high", rd("high.fft")["z"], s * gain("high", 30, 30, 1.5, 0.8, 0))
        notch = rd("notch.fft")["z"]
        hn = gain("notch", 6, 6, 2, 1, 0, cx=300, cy=70)
        check("FLTR notch", notch, s * hn)
        check_true("FLTR notch unchanged outside r", np.array_equal(notch[hn == 1], rd("xyri.fft")["z"][hn == 1]))
        bpp = rd("bellpp.fft")["z"]
        xypp = rd("xypp.fft")["z"]
        check("FLTR on SFPP scales the power", bpp.real, xypp.real * gain("bell", 40, 15, 2, 1, 30))
        check_true("FLTR on SFPP keeps the phase", np.array_equal(bpp.imag, xypp.imag))
        check("FLTR bell on SFRIX", rd("bellx.fft")["z"], fwd_x(p) * gain("bell", 40, 40, 2, 1, 0, axes=1))
        p16 = padded(b16)
        check("XY bell in one call", rd("xyfilt.fft")["z"], inv_xy(fwd_xy(p16) * gain("bell", 50, 20, 2, 1, 30)))
        check("YY high in one call", rd("yyfilt.fft")["z"],
              inv_y(fwd_y(p16) * gain("high", 12, 12, 1, 0.9, 0, axes=2)))
        check("XX bell in one call", rd("xxfilt.fft")["z"],
              inv_x(fwd_x(p16) * gain("bell", 25, 25, 3, 1, 0, axes=1)))
        check("FLTR with -in = -out", rd("same.fft")["z"], s * gain("bell", 40, 15, 2, 1, 0))
    if failures:
        print("FAILED:", ", ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
