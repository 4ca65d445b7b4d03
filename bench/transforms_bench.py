"""calc, trans PC, gdem and rotate against their peers, measured in the same
run with the page cache warm, best of three:

  calc nratio of bands 4, 3 of a 4096 x 4096 x 6 BYTE ERDAS scene into a new
      one-band FLOAT file      vs numpy on the memory-mapped scene (float32,
                                  the 1e-30 guard, raw output written)
  trans PC of the scene into six FLOAT bands
                               vs numpy's centre-and-project (matmul) of the
                                  memory-mapped scene, raw output written
  gdem LAMBERT of an 8192 x 8192 FLOAT DEM (IMAGEDEF BSQ) into a new FLOAT shade
                               vs gdaldem hillshade -az 135 -alt 45 of the same
                                  bytes through an ENVI header
  rotate RIGHT of the scene    vs np.rot90 of the memory-mapped scene written
                                  out; and the module's peak memory

Usage: /usr/bin/python3 bench/transforms_bench.py BUILD_DIR [DATA_DIR]"""
import os
import subprocess
import sys
import time

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "tcl"))
import transforms_ref as ref  # noqa: E402

ROWS = COLS = 4096
BANDS = 6
DEM = 8192


def best(fn, runs=3):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def warm(*paths):
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass


def make_scene(path):
    if os.path.exists(path):
        return
    rng = np.random.default_rng(4)
    y, x = np.mgrid[0:ROWS, 0:COLS].astype(np.float32)
    base = (np.sin(x / 97) + np.cos(y / 131)) * 40
    head = bytearray(128)
    head[0:6] = b"HEAD74"
    head[6:8] = (0).to_bytes(2, "little")
    head[8:10] = BANDS.to_bytes(2, "little")
    head[16:20] = COLS.to_bytes(4, "little")
    head[20:24] = ROWS.to_bytes(4, "little")
    with open(path, "wb") as f:
        f.write(head)
        data = np.empty((ROWS, BANDS, COLS), np.uint8)
        for b in range(BANDS):
            v = base * (1 + 0.3 * b) + 100 + rng.normal(0, 12, (ROWS, COLS)).astype(np.float32)
            data[:, b, :] = np.clip(v, 0, 255).astype(np.uint8)
        f.write(data.tobytes())


def make_dem(path):
    if os.path.exists(path):
        return
    y, x = np.mgrid[0:DEM, 0:DEM].astype(np.float32)
    z = (np.sin(x / 300) * np.cos(y / 410) * 400 + np.sin((x + y) / 90) * 30).astype(np.float32)
    ref.write_image(path, z[None], dx=30.0, dy=30.0)
    with open(path[:-4] + ".hdr", "w") as f:
        f.write("ENVI\nsamples = %d\nlines = %d\nbands = 1\nheader offset = 860\nfile type = ENVI Standard\n"
                "data type = 4\ninterleave = bsq\nbyte order = 0\n" % (DEM, DEM))


def scene_map(path):
    return np.memmap(path, np.uint8, "r", 128, (ROWS, BANDS, COLS))


def krel(build, script):
    """Runs a Tcl script with the package of BUILD; returns its last line."""
    pkg = os.path.join(os.path.abspath(build), "krel")
    full = "set auto_path [linsert $auto_path 0 {%s}]\npackage require Krel\n%s\n" % (pkg, script)
    out = subprocess.run(["tclsh"], input=full, capture_output=True, text=True, check=True).stdout
    return out.strip().splitlines()[-1]


def krel_best(build, command, outputs):
    """Best of three runs of a module (its outputs deleted before each) and the
    peak resident memory of the process."""
    rm = " ".join("{%s}" % o for o in outputs)
    script = """
set best 1e9
for {set i 0} {$i < 3} {incr i} {
    file delete %s
    set t0 [clock microseconds]
    %s
    set t [expr {([clock microseconds] - $t0) / 1e6}]
    if {$t < $best} { set best $t }
}
set f [open /proc/self/status]; set s [read $f]; close $f
regexp {VmHWM:\\s+(\\d+)} $s -> hwm
puts "$best $hwm"
""" % (rm, command)
    t, hwm = krel(build, script).split()
    return float(t), int(hwm) / 1024.0


def line(what, ours, peer, peer_name, need, better="ratio"):
    ratio = peer / ours
    print("  %-8s krel %.3f s   %s %.3f s   speed ratio peer/krel %.2f (required >= %.2f)%s"
          % (what, ours, peer_name, peer, ratio, need, "" if ratio >= need else "  BELOW TARGET"))


def blas_name():
    """The BLAS numpy links: Debian's libblas alternative, resolved."""
    info = getattr(np.__config__, "blas_opt_info", {}) or {}
    for d in info.get("library_dirs", []):
        lib = os.path.join(d, "libblas.so.3")
        if os.path.exists(lib):
            return os.path.realpath(lib)
    return str(info.get("libraries", "unknown"))


def main():
    build = sys.argv[1]
    data = sys.argv[2] if len(sys.argv) > 2 else os.path.join(build, "bench-data")
    os.makedirs(data, exist_ok=True)
    scene = os.path.join(data, "tscene.lan")
    dem = os.path.join(data, "tdem.img")
    make_scene(scene)
    make_dem(dem)
    print("transforms: scene %d x %d x %d BYTE ERDAS, DEM %d x %d FLOAT" % (ROWS, COLS, BANDS, DEM, DEM))
    print("  peer: numpy %s on %s, BLAS %s; %s; %d cores" % (np.__version__, sys.executable, blas_name(),
          subprocess.run(["gdalinfo", "--version"], capture_output=True, text=True).stdout.strip(), os.cpu_count()))
    warm(scene, dem)
    f32 = np.float32

    # calc nratio of bands 4 and 3.
    out = os.path.join(data, "t_nratio.raw")

    def numpy_nratio():
        m = scene_map(scene)
        a = m[:, 3, :].astype(f32)
        b = m[:, 2, :].astype(f32)
        den = a + b
        r = (a - b) / np.where(den == 0, f32(1e-30), den)
        r.tofile(out)

    peer = best(numpy_nratio)
    nr = os.path.join(data, "t_nratio.img")
    ours, _ = krel_best(build, "rimage calc -in {%s} -out {%s} -imgid BSQ -nbands 1 -f nratio -b 4,3" % (scene, nr),
                        [nr])
    line("calc", ours, peer, "numpy", 1.0)

    # trans PC into six FLOAT bands, with the scene's own eigenvectors.
    m = scene_map(scene)
    sample = np.asarray(m[::8, :, ::8], np.float64).transpose(1, 0, 2).reshape(BANDS, -1)
    mean = sample.mean(axis=1)
    cov = np.cov(sample, bias=True)
    vals, vecs = np.linalg.eigh(cov)
    idx = np.argsort(vals)[::-1]
    vals, vecs = vals[idx], vecs[:, idx].T.astype(np.float32)
    ev = os.path.join(data, "t_scene_ev.ftr")
    ref.eigen_file(ev, list(range(BANDS)), vals, vecs, np.diag(cov), mean, 0)
    w = vecs.astype(f32)
    mu = mean.astype(f32)
    out = os.path.join(data, "t_pc.raw")

    def numpy_pc():
        x = np.asarray(scene_map(scene), f32)  # rows, bands, columns
        x -= mu[None, :, None]
        y = np.matmul(w, x)                     # rows, components, columns
        np.ascontiguousarray(y.transpose(1, 0, 2)).tofile(out)

    peer = best(numpy_pc)
    pc = os.path.join(data, "t_pc.img")
    ours, _ = krel_best(build, "rimage trans -in {%s} -out {%s} -imgid BSQ -pixel FLOAT -ev {%s}" % (scene, pc, ev),
                        [pc])
    line("trans PC", ours, peer, "numpy", 1.5)

    # gdem LAMBERT against gdaldem hillshade.
    hs = os.path.join(data, "t_hillshade.tif")

    def gdaldem():
        subprocess.run(["gdaldem", "hillshade", "-q", "-az", "135", "-alt", "45", "-of", "GTiff", dem, hs],
                       check=True)

    peer = best(gdaldem)
    sh = os.path.join(data, "t_shade.img")
    ours, _ = krel_best(build, "rimage gdem -in {%s} -out {%s}" % (dem, sh), [sh])
    line("gdem", ours, peer, "gdaldem", 1.0)

    # rotate RIGHT against np.rot90.
    out = os.path.join(data, "t_rot.raw")

    def numpy_rot():
        r = np.rot90(scene_map(scene), -1, axes=(0, 2))  # columns, bands, rows
        np.ascontiguousarray(r).tofile(out)

    peer = best(numpy_rot)
    rot = os.path.join(data, "t_rot.lan")
    ours, hwm = krel_best(build, "rimage rotate -in {%s} -out {%s} -dir RIGHT" % (scene, rot), [rot])
    line("rotate", ours, peer, "np.rot90", 0.3)
    print("  rotate peak memory of the process: %.1f MiB (required < 64)" % hwm)


if __name__ == "__main__":
    main()
