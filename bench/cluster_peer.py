"""Peers of the clustering benchmark (Debian's python3: numpy, scikit-learn).

  scene PATH        a 4096 x 4096 x 6 BYTE ERDAS scene of 10 well separated classes
  kmeans PATH       MiniBatchKMeans over the scene's pixels (float32 in memory), best of two
  unique PATH       numpy.unique(return_counts=True) over the packed tuples of bands 1-3, best of two
The scene is read before the clock starts; times are printed in seconds."""
import struct
import sys
import time

import numpy as np

ROWS = COLS = 4096
BANDS = 6


def scene(path):
    rng = np.random.default_rng(7)
    centres = rng.integers(30, 226, size=(10, BANDS))
    for k in range(10):
        centres[k, k % BANDS] = 15 + 25 * k
    block = 256
    r = np.arange(ROWS)[:, None] // block
    c = np.arange(COLS)[None, :] // block
    truth = (r * 7 + c * 3) % 10
    head = bytearray(128)
    head[0:6] = b"HEAD74"
    struct.pack_into("<HH", head, 6, 0, BANDS)
    struct.pack_into("<ii", head, 16, COLS, ROWS)
    with open(path, "wb") as f:
        f.write(head)
        for row in range(ROWS):
            noise = rng.integers(-4, 5, size=(BANDS, COLS))
            line = centres[truth[row]].T + noise
            f.write(np.clip(line, 0, 255).astype(np.uint8).tobytes())


def load(path):
    data = np.fromfile(path, np.uint8, offset=128).reshape(ROWS, BANDS, COLS)
    return data


def kmeans(path):
    from sklearn import __version__ as version
    from sklearn.cluster import MiniBatchKMeans
    X = load(path).transpose(0, 2, 1).reshape(-1, BANDS).astype(np.float32)
    print("peer: scikit-learn %s MiniBatchKMeans(n_clusters=10, n_init=3, batch_size=4096, random_state=0)"
          ".fit(X).predict(X), X float32 %d x %d in memory" % (version, X.shape[0], X.shape[1]))
    best = None
    for _ in range(2):
        t0 = time.perf_counter()
        labels = MiniBatchKMeans(n_clusters=10, n_init=3, batch_size=4096, random_state=0).fit(X).predict(X)
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    print("kmeans %.3f classes %d" % (best, len(np.unique(labels))))


def unique(path):
    d = load(path)
    packed = (d[:, 0, :].astype(np.uint32) << 16 | d[:, 1, :].astype(np.uint32) << 8 | d[:, 2, :]).ravel()
    print("peer: numpy %s numpy.unique(packed bands 1-3 as uint32, return_counts=True)" % np.__version__)
    best = None
    for _ in range(2):
        t0 = time.perf_counter()
        u, c = np.unique(packed, return_counts=True)
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    print("unique %.3f tuples %d" % (best, len(u)))


if __name__ == "__main__":
    {"scene": scene, "kmeans": kmeans, "unique": unique}[sys.argv[1]](sys.argv[2])
