#!/usr/bin/python3
"""Independent references of calc geocalc and rimage georef (numpy, GDAL).

  georef_ref.py fit ORDER RECORDS        numpy least squares of a GCP list
  georef_ref.py goerechd FILE            a parameter file read with numpy
  georef_ref.py warp IN GCPS GRID ORDER METHOD OURS WORK
                                         gdalwarp of IN through the selected
                                         GCPS into GRID, compared with OURS
  georef_ref.py rot90 IN OUT K           OUT against numpy.rot90(IN, K)

RECORDS and GCPS are files of "selected ID X1 Y1 X2 Y2" lines; GRID is
"x0 y0 dx dy cols rows" (x0, y0 the centre of the upper-left pixel).
Exit status 77 when numpy or GDAL is missing.
"""
import subprocess
import sys

try:
    import numpy as np
except ImportError:
    print("numpy is missing (apt-get install python3-numpy)")
    sys.exit(77)


def gdal_module():
    try:
        from osgeo import gdal
    except ImportError:
        print("GDAL's Python module is missing (apt-get install python3-gdal)")
        sys.exit(77)
    gdal.UseExceptions()
    return gdal


def records(path):
    rows = [line.split() for line in open(path) if line.strip()]
    sel = np.array([int(r[0]) for r in rows]) != 0
    ids = [int(r[1]) for r in rows]
    xy = np.array([[float(v) for v in r[2:6]] for r in rows])
    return sel, ids, xy


def terms(order, u, v):
    if order == 0:
        return np.stack([np.ones_like(u), u, v, u * v], axis=1)
    cols = [np.ones_like(u)]
    for k in range(1, order + 1):
        cols += [u ** (k - j) * v ** j for j in range(k + 1)]
    return np.stack(cols, axis=1)


def fit(order, path):
    sel, ids, xy = records(path)
    m = xy[sel].mean(axis=0)
    a = terms(order, xy[:, 0] - m[0], xy[:, 1] - m[1])
    j, *_ = np.linalg.lstsq(a[sel], xy[sel, 2], rcond=None)
    i, *_ = np.linalg.lstsq(a[sel], xy[sel, 3], rcond=None)
    dx, dy = xy[:, 2] - a @ j, xy[:, 3] - a @ i
    n = sel.sum()
    sx, sy = (dx[sel] ** 2).sum(), (dy[sel] ** 2).sum()
    print(" ".join("%d %.6f %.6f" % t for t in zip(ids, dx, dy)))
    print(" ".join(repr(float(c)) for c in j))
    print(" ".join(repr(float(c)) for c in i))
    print(repr(float(np.sqrt(sx / n))), repr(float(np.sqrt(sy / n))), repr(float(np.sqrt((sx + sy) / n))))


def goerechd(path):
    raw = np.fromfile(path, dtype=np.uint8)
    head = raw[:48]
    t, order = np.frombuffer(head[40:48].tobytes(), dtype="<i4")
    coef = np.frombuffer(raw[48:].tobytes(), dtype="<f8")
    print(head[:8].tobytes().decode(), len(raw))
    print(" ".join(repr(float(v)) for v in np.frombuffer(head[8:40].tobytes(), dtype="<f8")))
    print(int(t), int(order))
    print(" ".join(repr(float(v)) for v in coef[:t]))
    print(" ".join(repr(float(v)) for v in coef[t:]))


def warp(inp, gcps, grid, order, method, ours, work):
    gdal = gdal_module()
    sel, _, xy = records(gcps)
    x0, y0, dx, dy, cols, rows = (float(v) for v in open(grid).read().split())
    cols, rows = int(cols), int(rows)
    args = ["gdal_translate", "-q", "-of", "GTiff"]
    for x1, y1, x2, y2 in xy[sel]:
        args += ["-gcp", repr(x2 + 0.5), repr(y2 + 0.5), repr(x1), repr(y1)]
    src, dst = work + "/gcp.tif", work + "/warped.tif"
    subprocess.run(args + [inp, src], check=True)
    te = [x0 - dx / 2, y0 + dy / 2 - rows * dy, x0 - dx / 2 + cols * dx, y0 + dy / 2]
    warp_args = ["gdalwarp", "-q", "-overwrite", "-et", "0", "-order", order, "-r", method,
                 "-wo", "XSCALE=1", "-wo", "YSCALE=1", "-te"] + [repr(v) for v in te] + \
                ["-ts", str(cols), str(rows), src, dst]
    subprocess.run(warp_args, check=True)
    theirs = gdal.Open(dst).ReadAsArray().astype(np.int64)
    mine = gdal.Open(ours).ReadAsArray().astype(np.int64)
    print(int((theirs != mine).sum()), int((theirs != 0).sum()), theirs.size)


def rot90(inp, out, k):
    gdal = gdal_module()
    a = gdal.Open(inp).ReadAsArray()
    b = gdal.Open(out).ReadAsArray()
    print(int((np.rot90(a, int(k), axes=(-2, -1)) != b).sum()))


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    {"fit": lambda: fit(int(args[0]), args[1]), "goerechd": lambda: goerechd(args[0]),
     "warp": lambda: warp(*args), "rot90": lambda: rot90(*args)}[cmd]()
