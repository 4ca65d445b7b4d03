"""Independent references for the pixel-table and clustering tests (numpy).

  scene PATH ROWS COLS BANDS CLASSES SEED   ERDAS BYTE scene of well separated
                                            classes in blocks, truth in PATH.truth.lan
  distinct PATH ROWS COLS                   three bands, every pixel a new tuple
  checkpt PT LAN SR ER BANDS                the PTABLE file against numpy.unique
  checkmap MAP TRUTH                        map equals truth up to relabelling
  checkiso FTR MAP LAN BANDS                block samples = map histogram, means = class means
  checkpal BMP FTR ORDER                    palette = rounded means of bands ORDER, black from nc
  sklearn MAP LAN K                         agreement (adjusted Rand index) with KMeans
  pixel MAP R C / histogram MAP             one class value / the class counts
  palette BMP N                             the first N palette entries as r g b
Prints "ok" or what differs. Exits 77 without numpy."""
import struct
import sys

try:
    import numpy as np
except ImportError:
    print("numpy not available")
    sys.exit(77)


def write_lan(path, cube):
    bands, rows, cols = cube.shape
    head = bytearray(128)
    head[0:6] = b"HEAD74"
    struct.pack_into("<HH", head, 6, 0, bands)
    struct.pack_into("<ii", head, 16, cols, rows)
    body = np.ascontiguousarray(cube.transpose(1, 0, 2)).astype(np.uint8).tobytes()
    with open(path, "wb") as f:
        f.write(head + body)


def read_lan(path):
    data = open(path, "rb").read()
    pack, bands = struct.unpack_from("<HH", data, 6)
    cols, rows = struct.unpack_from("<ii", data, 16)
    assert pack == 0
    a = np.frombuffer(data, np.uint8, rows * bands * cols, 128).reshape(rows, bands, cols)
    return a.transpose(1, 0, 2)


def read_bmp_pixels(path):
    data = open(path, "rb").read()
    off = struct.unpack_from("<I", data, 10)[0]
    w, h = struct.unpack_from("<ii", data, 18)
    stride = (w + 3) // 4 * 4
    rows = [np.frombuffer(data, np.uint8, w, off + r * stride) for r in range(abs(h))]
    img = np.array(rows)
    return img[::-1] if h > 0 else img


def read_map(path):
    if open(path, "rb").read(2) == b"BM":
        return read_bmp_pixels(path)
    return read_lan(path)[0]


def scene(path, rows, cols, bands, classes, seed):
    rng = np.random.default_rng(seed)
    centres = rng.choice(np.arange(20, 236, 24), size=(classes, bands))
    # Separate every pair of centres clearly in at least one band.
    for k in range(classes):
        centres[k, k % bands] = 20 + (200 * k) // max(classes - 1, 1)
    block = max(1, cols // 8)
    truth = ((np.arange(rows)[:, None] // block) * 3 + (np.arange(cols)[None, :] // block)) % classes
    cube = centres[truth].transpose(2, 0, 1) + rng.integers(-3, 4, size=(bands, rows, cols))
    write_lan(path, np.clip(cube, 0, 255))
    write_lan(path + ".truth.lan", truth[None].astype(np.uint8))
    print("ok")


def distinct(path, rows, cols):
    i = np.arange(rows * cols, dtype=np.uint32).reshape(rows, cols)
    cube = np.stack([(i >> 16) & 255, (i >> 8) & 255, i & 255])
    write_lan(path, cube)
    print("ok")


def checkpt(pt, lan, sr, er, bands):
    cube = read_lan(lan)[:, sr - 1:er, :]
    sel = [int(b) - 1 for b in bands.split(",")] if bands != "all" else list(range(cube.shape[0]))
    tuples = np.stack([cube[b].ravel() for b in sel], axis=1)
    packed = np.zeros(len(tuples), np.uint64)
    for k in range(tuples.shape[1]):
        packed = packed << np.uint64(8) | tuples[:, k].astype(np.uint64)
    u, c = np.unique(packed, return_counts=True)
    data = open(pt, "rb").read()
    n = len(sel)
    problems = []
    if data[:8] != b"PTABLEHD":
        problems.append("id")
    offset, cap, count = struct.unpack_from("<3i", data, 8)
    first = np.frombuffer(data, "<i4", 256, 20)
    last = np.frombuffer(data, "<i4", 256, 1044)
    addr = data[2068:2076]
    nb = struct.unpack_from("<i", data, 2076)[0]
    fbands = list(struct.unpack_from("<%di" % nb, data, 2080))
    if offset != 2080 + 4 * n or cap != count or count != len(u) or nb != n or fbands != sel or addr != bytes(8):
        problems.append("head %d %d %d %d %s" % (offset, cap, count, nb, fbands))
    t = np.frombuffer(data, np.uint8, count * n, offset).reshape(count, n)
    fc = np.frombuffer(data, "<u2", count, offset + count * n)
    if len(data) != offset + count * n + 2 * count:
        problems.append("size")
    ref = np.stack([(u >> np.uint64(8 * (n - 1 - k))) & np.uint64(255) for k in range(n)], axis=1)
    if count == len(u) and not (t == ref).all():
        problems.append("tuples")
    if count == len(u) and not (fc == np.minimum(c, 65535)).all():
        problems.append("counts")
    for v in range(256):
        idx = np.nonzero(t[:, 0] == v)[0] if count else []
        want = (idx[0], idx[-1]) if len(idx) else (-1, -2)
        if (first[v], last[v]) != want:
            problems.append("index %d" % v)
            break
    print(" ".join(problems) if problems else "ok")


def best_matching(a, b):
    ka, kb = int(a.max()) + 1, int(b.max()) + 1
    conf = np.zeros((ka, kb), np.int64)
    np.add.at(conf, (a.ravel(), b.ravel()), 1)
    return conf


def checkmap(map_path, truth_path):
    m = read_map(map_path).astype(np.int64)
    t = read_lan(truth_path)[0].astype(np.int64)
    conf = best_matching(m, t)
    # Up to relabelling: every class of the map lies in one truth class and back.
    ok = ((conf > 0).sum(axis=1) <= 1).all() and ((conf > 0).sum(axis=0) == 1).all()
    print("ok" if ok else "confusion %s" % conf.tolist())


def checkiso(ftr, map_path, lan, bands):
    data = open(ftr, "rb").read()
    total, offset, item_size, count, nparams = struct.unpack_from("<5i", data, 8)
    n = nparams
    m = read_map(map_path).ravel()
    cube = read_lan(lan)
    sel = [int(b) - 1 for b in bands.split(",")]
    problems = []
    hist = np.bincount(m, minlength=count)
    for k in range(count):
        it = data[offset + k * item_size: offset + (k + 1) * item_size]
        samples = struct.unpack_from("<i", it, 0)[0]
        means = [struct.unpack_from("<f", it, 12 + 16 * b)[0] for b in range(n)]
        if samples != hist[k]:
            problems.append("samples %d: %d %d" % (k, samples, hist[k]))
        ref = [cube[s].ravel()[m == k].mean() for s in sel]
        if not np.allclose(means, ref, atol=1e-3):
            problems.append("means %d: %s %s" % (k, means, ref))
    if len(hist) > count:
        problems.append("classes")
    print(" ".join(problems) if problems else "ok")


def palette(bmp, count):
    data = open(bmp, "rb").read()
    size = struct.unpack_from("<I", data, 14)[0]
    at = 14 + size
    out = []
    for i in range(count):
        b, g, r, _ = data[at + 4 * i: at + 4 * i + 4]
        out.append("%d %d %d" % (r, g, b))
    print(" ".join(out))


def checkpal(bmp, ftr, order):
    data = open(ftr, "rb").read()
    total, offset, item_size, count, n = struct.unpack_from("<5i", data, 8)
    pos = [int(b) - 1 for b in order.split(",")]
    pos += [b for b in range(n) if b not in pos]
    size = struct.unpack_from("<I", open(bmp, "rb").read(), 14)[0]
    raw = open(bmp, "rb").read()[14 + size: 14 + size + 1024]
    problems = []
    for k in range(256):
        b, g, r, _ = raw[4 * k: 4 * k + 4]
        if k < count:
            it = data[offset + k * item_size:]
            want = [int(np.floor(struct.unpack_from("<f", it, 12 + 16 * p)[0] + 0.5)) for p in pos[:3]]
        else:
            want = [0, 0, 0]
        if [r, g, b] != want:
            problems.append("entry %d: %s %s" % (k, [r, g, b], want))
    print(" ".join(problems[:4]) if problems else "ok")


def sklearn_agreement(map_path, lan, k):
    """Adjusted Rand index of the map against scikit-learn's KMeans on the same pixels."""
    from sklearn.cluster import KMeans
    from sklearn.metrics import adjusted_rand_score
    cube = read_lan(lan)
    X = cube.reshape(cube.shape[0], -1).T.astype(np.float64)
    ref = KMeans(n_clusters=k, n_init=10, random_state=0).fit_predict(X)
    print("%.3f" % adjusted_rand_score(ref, read_map(map_path).ravel()))


def pixel(path, r, c):
    print(int(read_map(path)[r, c]))


def histogram(path):
    v, c = np.unique(read_map(path), return_counts=True)
    print(" ".join("%d %d" % (a, b) for a, b in zip(v, c)))


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "scene":
        scene(args[0], *map(int, args[1:]))
    elif cmd == "distinct":
        distinct(args[0], int(args[1]), int(args[2]))
    elif cmd == "checkpt":
        checkpt(args[0], args[1], int(args[2]), int(args[3]), args[4])
    elif cmd == "checkmap":
        checkmap(args[0], args[1])
    elif cmd == "checkiso":
        checkiso(*args)
    elif cmd == "checkpal":
        checkpal(*args)
    elif cmd == "sklearn":
        sklearn_agreement(args[0], args[1], int(args[2]))
    elif cmd == "pixel":
        pixel(args[0], int(args[1]), int(args[2]))
    elif cmd == "histogram":
        histogram(args[0])
    elif cmd == "palette":
        palette(args[0], int(args[1]))
