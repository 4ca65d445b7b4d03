"""The classification rules in vectorised numpy (float32, data in memory),
timed on the scene that bench_classify wrote. Prints one line per rule:
RULE SECONDS COUNTS..., and GSTAT SECONDS: the mean vector and covariance
of the pixels of one mask class, per class."""
import sys
import time

import numpy as np


def classify(x, means, inverses, logdets, rule, threshold, chunk=1 << 20):
    k, n = means.shape
    out = np.empty(x.shape[0], np.int32)
    for start in range(0, x.shape[0], chunk):
        xs = x[start:start + chunk]
        best = np.full(xs.shape[0], np.float32(3.4028235e38), np.float32)
        idx = np.full(xs.shape[0], k, np.int32)
        for c in range(k):
            d = xs - means[c]
            if rule == "EUCLIDEAN":
                score = np.einsum("ij,ij->i", d, d)
            else:
                score = np.einsum("ij,ij->i", d @ inverses[c], d) + logdets[c]
            better = score < best
            best = np.where(better, score, best)
            idx = np.where(better, np.int32(c), idx)
        value = best / np.float32(n) if rule == "EUCLIDEAN" else best
        out[start:start + chunk] = np.where(value < threshold, idx, k)
    return out


def main():
    d = sys.argv[1]
    rows, cols, n, k = map(int, open(d + "/meta.txt").read().split()[:4])
    planes = np.fromfile(d + "/pixels.u8", np.uint8).reshape(n, rows * cols)
    x = np.ascontiguousarray(planes.T, dtype=np.float32)  # pixels x bands, in memory before timing
    del planes
    means = np.fromfile(d + "/means.f32", np.float32).reshape(k, n)
    inverses = np.fromfile(d + "/inverses.f32", np.float32).reshape(k, n, n)
    logdets = np.fromfile(d + "/logdets.f32", np.float32)
    threshold = np.float32(float(open(d + "/meta.txt").read().split()[4]))
    labels = np.fromfile(d + "/labels.u8", np.uint8)
    best = None
    for _ in range(2):
        t0 = time.perf_counter()
        for c in range(1, k + 1):
            xs = x[labels == c]
            xs.mean(axis=0)
            np.cov(xs, rowvar=False)
        t = (time.perf_counter() - t0) / k
        best = t if best is None else min(best, t)
    print("GSTAT", "%.4f" % best, flush=True)
    for rule in ("MAHALANOBIS", "EUCLIDEAN"):
        best = None
        for _ in range(2):
            t0 = time.perf_counter()
            out = classify(x, means, inverses, logdets, rule, threshold)
            t = time.perf_counter() - t0
            best = t if best is None else min(best, t)
        counts = np.bincount(out, minlength=k + 1)
        print(rule, "%.4f" % best, " ".join(str(c) for c in counts), flush=True)


if __name__ == "__main__":
    main()
