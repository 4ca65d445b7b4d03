"""Inputs and independent numpy references for transforms.test.

  transforms_ref.py make-CASE DIR     writes the input files of a case
  transforms_ref.py check-CASE DIR    recomputes the outputs the test made with
                                      the modules and prints one line per output:
                                      NAME MAXERROR (or NAME missing)

Images are IMAGEDEF files (860-byte header, band-sequential); eigenvector
files are EIGENID feature files, both written byte for byte here."""
import os
import struct
import sys

import numpy as np

PIXEL = {np.dtype("u1"): 3, np.dtype("<i2"): 4, np.dtype("<i4"): 5, np.dtype("<f4"): 6, np.dtype("<u2"): 7}
DTYPE = {v: k for k, v in PIXEL.items()}


def write_image(path, a, dx=1.0, dy=1.0, imgid=1):
    """a: (bands, rows, columns), written BSQ (imgid 1) or BIL (2)."""
    a = np.ascontiguousarray(a)
    bands, rows, cols = a.shape
    head = bytearray(860)
    head[0:13] = b"IMAGEDEF_MSBL"
    struct.pack_into("<10i4di", head, 16, 0, imgid, 1, 860, PIXEL[a.dtype], bands, rows, cols, 0, 0,
                     0.0, 0.0, dx, dy, 0)
    with open(path, "wb") as f:
        f.write(head)
        f.write((a.transpose(1, 0, 2) if imgid == 2 else a).tobytes())


def read_image(path):
    data = open(path, "rb").read()
    assert data[:13] == b"IMAGEDEF_MSBL", data[:16]
    _, imgid, _, offset, pixel, bands, rows, cols = struct.unpack_from("<8i", data, 16)
    a = np.frombuffer(data, DTYPE[pixel], bands * rows * cols, offset)
    if imgid == 2:
        return a.reshape(rows, bands, cols).transpose(1, 0, 2)
    return a.reshape(bands, rows, cols)


def report(name, got, want):
    if got is None:
        print(name, "missing")
        return
    got = np.asarray(got, np.float64)
    want = np.asarray(want, np.float64)
    if got.shape != want.shape:
        print(name, "shape", got.shape, want.shape)
        return
    scale = np.maximum(1.0, np.abs(want))
    print(name, "%.3g" % float(np.max(np.abs(got - want) / scale)))


def out(d, name):
    p = os.path.join(d, name)
    return read_image(p) if os.path.exists(p) else None


# ---- calc -----------------------------------------------------------------------------

def calc_input():
    rng = np.random.default_rng(16)
    a = rng.uniform(1, 200, (4, 7, 9)).astype(np.float32)
    a[1, 0, 0] = a[3, 0, 0]  # dratio: c - d = 0 at one pixel
    a[1, 2, 3] = 0           # ratio: b = 0 at one pixel
    return a


def make_calc(d):
    write_image(os.path.join(d, "calc.img"), calc_input())


def check_calc(d):
    f = np.float32
    x = calc_input()
    a, b, c, e = x
    g = lambda v: np.where(v == 0, f(1e-30), v).astype(f)
    report("ratio", out(d, "ratio.img")[0], (a - f(2)) / g(b - f(1)) * f(3) + f(4))
    p = [f(v) for v in (5, 1, 0.8, 100, 7)]
    num = (a - p[0]) - (b - p[1]) * p[2]
    den = (a - p[0]) + (b - p[1]) * p[2]
    report("nratio", out(d, "nratio.img")[0], num / g(den) * p[3] + p[4])
    report("dratio", out(d, "dratio.img")[0], (a - b) / g(c - e) * f(2) + f(-1))
    s = out(d, "stretch.img")
    report("stretch", s[[0, 1]], np.stack([(c - f(10)) * f(0.5), (a - f(0)) * f(2)]))
    rows, cols = a.shape
    par = [f(v) for v in (1.5, 3, 40, 6, 0.01, 0.02, 4, 3)]
    w = [par[0] * f(2), par[1], par[2]]
    r = np.arange(rows, dtype=f)[:, None]
    j = np.arange(cols, dtype=f)[None, :]
    dy = (r - par[7]) * par[5]
    dx = (par[6] - j) * par[4]
    rho = np.sqrt((dy * dy + dx * dx + par[3] * par[3]) / (par[3] * par[3]))
    dev = [np.exp(w[k] * (rho - f(1))) * (x[k] - par[1]) + par[1] for k in range(3)]
    report("dev", out(d, "dev.img")[[0, 1, 2]], np.stack(dev))
    report("linear", out(d, "linear.img")[0], ((a * f(0.5) + b * f(-1)) + e * f(0.25)) + f(3))
    cap = f(150)
    m = (a + b + c) * f(1 / 3)
    report("avg", out(d, "avg.img")[0], np.where((a < cap) & (b < cap) & (c < cap), m, cap))
    mean = (b + e) * f(0.5)
    report("norm", out(d, "norm.img")[[1, 2]], np.stack([a / mean, c / mean]))


# ---- gdem -----------------------------------------------------------------------------

def hill(rows=23, cols=31):
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float64)
    z = 40 * np.exp(-((x - 12) ** 2 + (y - 9) ** 2) / 60) + 0.3 * x - 0.2 * y
    return z.astype(np.float32)


GDEM_CASES = {
    # name: model, options as given to gdem (dx/dy 2 and 3, zs 1.5)
    "lambert": ("LAMBERT", {}),
    "lambert_noavg": ("LAMBERT", {"avg": 0, "az": 300, "va": 30, "vaz": 20, "vva": 60}),
    "sine": ("SINE", {}),
    "tang": ("TANG", {"avg": 0}),
    "sl": ("SL", {"p": 3, "g": 0.4, "off": 5}),
    "sl_m": ("SL", {"m": 1, "h": 90, "xc": 4, "yc": 7, "avg": 0}),
    "hl": ("HL", {"p": 2, "az": 45, "va": 60}),
    "hle30": ("HLE30", {"p": 2, "avg": 0}),
    "hle": ("HLE", {"h": 50}),
}


def shade_ref(z, model, o, dx=2.0, dy=3.0, zs=1.5):
    f = np.float32
    rad = f(np.pi) * f(1 / 180)
    rows, cols = z.shape
    az = f(o.get("az", 135)) * rad
    va = f(o.get("va", 45)) * rad
    vaz = f(o["vaz"]) * rad if "vaz" in o else az
    vva = f(o.get("vva", 90)) * rad
    s, g, P, off = f(255), f(o.get("g", 0.5)), f(o.get("p", 1)), f(o.get("off", 0))
    h = f(o.get("h", cols * dx * 2.0))
    xc = f(o.get("xc", (cols - 1) * 0.5))
    yc = f(o.get("yc", (rows - 1) * 0.5))
    kx, ky = f(-zs / (2 * dx)), f(zs / (2 * dy))
    L = np.array([np.cos(va) * np.sin(az), np.cos(va) * np.cos(az), np.sin(va)], f)
    Vi = np.array([np.cos(vva) * np.sin(vaz), np.cos(vva) * np.cos(vaz), np.sin(vva)], f)
    above = np.vstack([z[:1], z[:-1]])
    z00, z01, z10, z11 = above[:, :-1], above[:, 1:], z[:, :-1], z[:, 1:]
    gx = (z00 - z01 + z10 - z11) * kx
    gy = (z00 + z01 - z10 - z11) * ky
    n2 = gx * gx + gy * gy + f(1)
    nl = gx * L[0] + gy * L[1] - L[2]
    if model == "LAMBERT":
        sh = s * (gx * Vi[0] + gy * Vi[1] - Vi[2]) * nl / n2
    elif model == "SINE":
        sh = s * np.sqrt(f(1) - f(1) / n2)
    elif model == "TANG":
        sh = s * np.sqrt(gx * gx + gy * gy)
    else:
        i = np.arange(rows, dtype=f)[:, None]
        j = np.arange(1, cols, dtype=f)[None, :]
        xi = (j - xc) * f(dx) + 0 * i
        eta = ((yc + 0 * i) if o.get("m") else (yc - i)) * f(dy) + 0 * j
        dd = np.sqrt(xi * xi + eta * eta + h * h)
        vx, vy, vz = -xi / dd, -eta / dd, h / dd
        nv = gx * vx + gy * vy - vz
        D = nv * nl / n2
        lv = L[0] * vx + L[1] * vy + L[2] * vz
        if model == "SL":
            base = f(2) * nl * nv / n2 - lv
        elif model == "HL":
            base = lv
        else:
            theta = f(30) * rad if model == "HLE30" else np.arctan(f(cols) * f(dx) / (f(2) * h))
            ct = np.cos(theta)
            base = (lv - ct) / (f(1) - ct)
        term = np.where(base > 0, np.power(np.maximum(base, f(0)), P), f(0))
        sh = s * (g * term + (f(1) - g) * D) + off
    sh = np.hstack([sh[:, :1], sh]).astype(f)
    if o.get("avg", 1):
        r0 = np.vstack([sh[:1], sh[:-1]])
        a = np.empty_like(sh)
        a[:, 0] = (r0[:, 0] + sh[:, 0]) * f(0.5)
        a[:, 1:-1] = (r0[:, 1:-1] + sh[:, 1:-1] + r0[:, 2:] + sh[:, 2:]) * f(0.25)
        a[:, -1] = (r0[:, -1] + sh[:, -1]) * f(0.5)
        sh = a
    return sh


def make_gdem(d):
    z = hill()
    write_image(os.path.join(d, "hill.img"), z[None], dx=2.0, dy=3.0)
    # Two bands: band 2 holds the hill, band 1 zeros.
    write_image(os.path.join(d, "hill2.img"), np.stack([np.zeros_like(z), z]), dx=2.0, dy=3.0)
    # A scene to calibrate: two FLOAT bands.
    rng = np.random.default_rng(7)
    write_image(os.path.join(d, "scene.img"), rng.uniform(0, 100, (2,) + z.shape).astype(np.float32))
    try:
        from osgeo import gdal
    except ImportError:
        return
    gdal.UseExceptions()
    ds = gdal.GetDriverByName("GTiff").Create(os.path.join(d, "dem.tif"), z.shape[1], z.shape[0], 1,
                                              gdal.GDT_Float32)
    ds.SetGeoTransform([500000.0, 2.0, 0.0, 4100000.0, 0.0, -3.0])
    ds.GetRasterBand(1).WriteArray(z)
    ds = None


def check_gdem(d):
    z = hill()
    for name, (model, o) in GDEM_CASES.items():
        got = out(d, name + ".img")
        report(name, None if got is None else got[0], shade_ref(z, model, o))
    got = out(d, "band21.img")
    report("band21", None if got is None else got[0], shade_ref(z, "LAMBERT", {}))
    ref = shade_ref(z, "LAMBERT", {})
    scene = read_image(os.path.join(d, "scene.img"))
    got = out(d, "calib.img")
    # Only band 2 is calibrated (-cb 2).
    report("calib", None if got is None else got[1], np.float32(-0.25) * ref + np.float32(255) + scene[1])
    if os.path.exists(os.path.join(d, "shade.tif")):
        from osgeo import gdal
        ds = gdal.Open(os.path.join(d, "shade.tif"))
        report("geotiff", ds.GetRasterBand(1).ReadAsArray(), shade_ref(z, "LAMBERT", {}, 2.0, 3.0, 1.0))


# ---- trans ----------------------------------------------------------------------------

def trans_input():
    rng = np.random.default_rng(9)
    mix = rng.normal(size=(4, 4))
    x = rng.normal(size=(4, 10 * 13)).T @ mix.T * 12 + [90, 60, 120, 70]
    return x.T.reshape(4, 10, 13).astype(np.float32)


def eigen_file(path, params, vals, vecs, var, mean, normalised):
    n = len(params)
    k = vecs.shape[0]
    priv = bytearray(516 + 8 * n)
    priv[0:12] = b"test.ftr x 0"
    struct.pack_into("<i", priv, 512, 1 if normalised else 0)
    for i in range(n):
        struct.pack_into("<2f", priv, 516 + 8 * i, var[i], mean[i])
    item = 12 + 4 * n
    offset = 28 + 4 * n + len(priv)
    total = offset + k * item
    with open(path, "wb") as f:
        f.write(b"EIGENID\0" + struct.pack("<5i", total, offset, item, k, n))
        f.write(struct.pack("<%di" % n, *params))
        f.write(priv)
        for i in range(k):
            f.write(struct.pack("<iff", i, vals[i], vals[i] / vals.sum() * 100))
            f.write(vecs[i].astype("<f4").tobytes())


def eigen_of(x, normalised):
    """Eigenvectors of bands 2, 1, 3, 4 (file order) by numpy, largest first."""
    order = [1, 0, 2, 3]
    p = x[order].reshape(4, -1).astype(np.float64)
    mean = p.mean(axis=1)
    cov = np.cov(p, bias=True)
    var = np.diag(cov).copy()
    m = cov / np.sqrt(np.outer(var, var)) if normalised else cov
    vals, vecs = np.linalg.eigh(m)
    idx = np.argsort(vals)[::-1]
    vals, vecs = vals[idx], vecs[:, idx].T
    vecs = vecs.astype(np.float32).astype(np.float64)
    return order, vals, vecs, var.astype(np.float32).astype(np.float64), mean.astype(np.float32).astype(np.float64)


def make_trans(d):
    x = trans_input()
    write_image(os.path.join(d, "four.img"), x)
    for norm in (0, 1):
        order, vals, vecs, var, mean = eigen_of(x, norm)
        eigen_file(os.path.join(d, "ev%d.ftr" % norm), order, vals, vecs, var, mean, norm)


def pc_ref(x, norm, comps, bias=0.0):
    order, vals, vecs, var, mean = eigen_of(x, norm)
    p = x[order].reshape(4, -1).astype(np.float64)
    w = vecs / np.sqrt(var) if norm else vecs
    c = w[comps] @ (p - mean[:, None]) + bias
    return c.reshape(len(comps), *x.shape[1:])


def check_trans(d):
    x = trans_input()
    report("pc_cov", out(d, "pc0.img"), pc_ref(x, 0, [0, 1, 2, 3]))
    report("pc_norm", out(d, "pc1.img"), pc_ref(x, 1, [0, 1, 2, 3]))
    report("pc_23", out(d, "pc23.img"), pc_ref(x, 0, [1, 2]))
    byte = np.clip(np.floor(pc_ref(x, 0, [1]) + 127.5 + 0.5), 0, 255)
    report("pc_byte", out(d, "pcbyte.img"), byte)
    got = out(d, "rpc1.img")
    report("rpc_norm", got, x[[1, 0, 2, 3]])
    report("rpc_cov", out(d, "rpc0.img"), x[[1, 0, 2, 3]])


# ---- rotate ---------------------------------------------------------------------------

def rotate_inputs():
    rng = np.random.default_rng(3)
    a = rng.integers(-2**31, 2**31 - 1, (2, 5, 7), dtype=np.int64).astype("<i4")
    a[0, 0, 0] = 2**31 - 1
    a[1, 4, 6] = 2**31 - 2
    return {"long": a,
            "seg": (np.arange(8192 * 300, dtype=np.float64).reshape(1, 8192, 300) * 1.25).astype("<f4"),
            "tall": np.arange(1100000 * 2, dtype=np.float64).reshape(1, 1100000, 2).astype("<f4")}


def make_rotate(d):
    for name, a in rotate_inputs().items():
        write_image(os.path.join(d, name + ".img"), a)


def check_rotate(d):
    ref = {"RIGHT": lambda a: np.rot90(a, -1, axes=(1, 2)), "LEFT": lambda a: np.rot90(a, 1, axes=(1, 2)),
           "XFLIP": lambda a: np.flip(a, 2), "YFLIP": lambda a: np.flip(a, 1), "XYFLIP": lambda a: np.flip(a, (1, 2))}
    for name, a in rotate_inputs().items():
        dirs = ref if name == "long" else ["RIGHT", "LEFT"]
        for direction in dirs:
            got = out(d, "%s_%s.img" % (name, direction))
            want = ref[direction](a)
            if got is None:
                print(name + "_" + direction, "missing")
            else:
                print(name + "_" + direction, "exact" if got.dtype == want.dtype and np.array_equal(got, want)
                      else "differs")


if __name__ == "__main__":
    what, d = sys.argv[1], sys.argv[2]
    globals()[what.replace("-", "_")](d)
