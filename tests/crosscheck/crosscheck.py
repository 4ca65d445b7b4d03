"""Independent check of the analysis kernels with numpy.

Runs the crosscheck program, which writes a synthetic scene of known classes,
the stat file trained on it, class maps and an eigenvector file; then
recomputes the statistics, the MAHALANOBIS and EUCLIDEAN decisions and the
eigenvalues here and compares. Exits 77 (skipped) when numpy is missing."""
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


def read_feature(path):
    data = open(path, "rb").read()
    kind = data[:8]
    total, offset, item_size, count, nparams = struct.unpack_from("<5i", data, 8)
    assert total == len(data), "total size disagrees with the file"
    assert offset + count * item_size == total
    params = list(struct.unpack_from("<%di" % nparams, data, 28))
    items = [data[offset + i * item_size: offset + (i + 1) * item_size] for i in range(count)]
    return kind, params, items


def stat_items(path, n):
    kind, params, items = read_feature(path)
    assert kind == b"STATFTUR"
    out = []
    for it in items:
        name = it[:32].split(b"\0")[0].decode()
        npix, ident = struct.unpack_from("<2i", it, 64)
        mean = np.frombuffer(it, "<f4", n, 72).astype(np.float64)
        tri = np.frombuffer(it, "<f4", n * (n + 1) // 2, 72 + 4 * n).astype(np.float64)
        cov = np.zeros((n, n))
        for j in range(n):
            for i in range(j + 1):
                cov[i, j] = cov[j, i] = tri[j * (j + 1) // 2 + i]
        out.append((name, npix, ident, mean, cov))
    return params, out


def read_class_image(path, rows, cols):
    """Band 1 of a one-band BYTE image file: a DIB (rows bottom-up unless the
    height is negative, each padded to 4 bytes) or an ERDAS file."""
    data = open(path, "rb").read()
    if data[:2] == b"BM":
        offset = struct.unpack_from("<I", data, 10)[0]
        width, height = struct.unpack_from("<ii", data, 18)
        bits = struct.unpack_from("<H", data, 28)[0]
        assert bits == 8 and width == cols and abs(height) == rows, (bits, width, height)
        stride = (cols + 3) // 4 * 4
        img = np.frombuffer(data, np.uint8, stride * rows, offset).reshape(rows, stride)[:, :cols]
        if height > 0:
            img = img[::-1]
        return img.reshape(-1).astype(np.int32)
    assert data[:6] in (b"HEAD74", b"HEADER"), data[:6]
    return np.frombuffer(data, np.uint8, rows * cols, 128).astype(np.int32)


def dib_palette(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        return None
    header = struct.unpack_from("<I", data, 14)[0]
    used = struct.unpack_from("<I", data, 46)[0] or 256
    quads = np.frombuffer(data, np.uint8, 4 * used, 14 + header).reshape(used, 4)
    return quads[:, [2, 1, 0]]  # red, green, blue


def compare_maps(name, got, scores, threshold_value, threshold):
    """scores: (pixels, K) float64, smaller is better; threshold_value(best)
    gives what the rule compares with the threshold."""
    k = scores.shape[1]
    best = np.argmin(scores, axis=1)  # first minimum: ties to the lower class
    best_score = scores[np.arange(len(best)), best]
    expect = np.where(threshold_value(best_score) < threshold, best, k)
    bad = np.nonzero(got != expect)[0]
    # A disagreement is accepted only where float rounding decides: two
    # classes within 1e-5 of each other, or a score at the threshold itself.
    unexplained = []
    for p in bad:
        g = got[p]
        tie = g < k and abs(scores[p, g] - best_score[p]) <= 1e-5 * (1 + abs(best_score[p]))
        edge = abs(threshold_value(best_score[p]) - threshold) <= 1e-5 * (1 + threshold)
        if not (tie or edge):
            unexplained.append(p)
    print("%-9s pixels %d, differing %d (all within rounding: %s), unknown %d"
          % (name, len(got), len(bad), not unexplained, int(np.sum(got == k))))
    return not unexplained


def main():
    exe = sys.argv[1]
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([exe, tmp], check=True)
        rows, cols, n, k = map(int, open(os.path.join(tmp, "meta.txt")).read().split())
        pixels = np.fromfile(os.path.join(tmp, "pixels.u8"), np.uint8).reshape(n, rows * cols).T.astype(np.float64)
        labels = np.fromfile(os.path.join(tmp, "labels.u8"), np.uint8).reshape(-1)

        # Statistics: population mean and covariance of each masked class.
        params, items = stat_items(os.path.join(tmp, "train.ftr"), n)
        assert params == list(range(n)), params
        assert len(items) == k
        for c, (name, npix, ident, mean, cov) in enumerate(items):
            x = pixels[labels == c + 1]
            ref_mean = x.mean(axis=0)
            ref_cov = np.cov(x, rowvar=False, bias=True)
            good = (name == "class%d" % c and npix == len(x) and ident == c
                    and np.allclose(mean, ref_mean, rtol=1e-5, atol=1e-4)
                    and np.allclose(cov, ref_cov, rtol=1e-4, atol=1e-3))
            print("stat %s: %d pixels, statistics %s" % (name, npix, "agree" if good else "DIFFER"))
            ok &= good

        # Class maps from the stored statistics (as the classifier reads them).
        means = np.array([it[3] for it in items])
        covs = np.array([it[4] for it in items])
        diff = pixels[:, None, :] - means[None, :, :]
        eucl = np.sum(diff * diff, axis=2)
        inv = np.linalg.inv(covs)
        logdet = np.log(np.maximum(np.linalg.det(covs), 2.2250738585072014e-308))
        maha = np.einsum("pki,kij,pkj->pk", diff, inv, diff) + logdet[None, :]
        for tshd in (10.0, 1000.0):
            t2 = np.float32(tshd * tshd)
            got = np.fromfile(os.path.join(tmp, "eucl%d.i32" % tshd), np.int32)
            ok &= compare_maps("eucl%d" % tshd, got, eucl, lambda b: b / n, t2)
            got = np.fromfile(os.path.join(tmp, "maha%d.i32" % tshd), np.int32)
            ok &= compare_maps("maha%d" % tshd, got, maha, lambda b: b, t2)
        got = np.fromfile(os.path.join(tmp, "maha1000.i32"), np.int32)
        accuracy = np.mean(got == labels.astype(np.int32) - 1)
        print("MAHALANOBIS recovers the true classes on %.1f%% of the pixels" % (100 * accuracy))
        ok &= accuracy > 0.9

        # The modules, file to file: their statistics agree with numpy's, and
        # their class maps agree with numpy on every pixel.
        mparams, mitems = stat_items(os.path.join(tmp, "module.ftr"), n)
        same = mparams == params and len(mitems) == k
        for c, (name, npix, ident, mean, cov) in enumerate(mitems):
            x = pixels[labels == c + 1]
            same &= (name == "class%d" % c and npix == len(x) and ident == c
                     and np.allclose(mean, x.mean(axis=0), rtol=1e-5, atol=1e-4)
                     and np.allclose(cov, np.cov(x, rowvar=False, bias=True), rtol=1e-4, atol=1e-3))
        print("rimage gstat statistics %s" % ("agree" if same else "DIFFER"))
        ok &= bool(same)
        mmeans = np.array([it[3] for it in mitems])
        mcovs = np.array([it[4] for it in mitems])
        mdiff = pixels[:, None, :] - mmeans[None, :, :]
        scores = {
            "EUCLIDEAN": (np.sum(mdiff * mdiff, axis=2), lambda b: b / n),
            "MAHALANOBIS": (np.einsum("pki,kij,pkj->pk", mdiff, np.linalg.inv(mcovs), mdiff)
                            + np.log(np.maximum(np.linalg.det(mcovs), 2.2250738585072014e-308))[None, :],
                            lambda b: b),
        }
        for line in open(os.path.join(tmp, "modules.txt")):
            rule, tshd, path = line.split()
            score, value = scores[rule]
            best = np.argmin(score, axis=1)
            best_score = score[np.arange(len(best)), best]
            expect = np.where(value(best_score) < float(tshd) ** 2, best, k)
            got = read_class_image(path, rows, cols)
            # How close the decisive comparisons came: the gap to the runner-up
            # class and to the threshold, relative to the score.
            second = np.partition(score, 1, axis=1)[:, 1]
            margin = min(np.min((second - best_score) / (1 + np.abs(best_score))),
                         np.min(np.abs(value(best_score) - float(tshd) ** 2) / (1 + float(tshd) ** 2)))
            differ = int(np.sum(got != expect))
            print("rimage classify -o %-11s -tshd %-4s %s: %d pixels, %d differ, unknown %d, smallest margin %.2g"
                  % (rule, tshd, os.path.basename(path), got.size, differ, int(np.sum(got == k)), margin))
            ok &= differ == 0
            palette = dib_palette(path)
            if palette is not None:
                # Entries 0..K-1 show the class means of the first three bands, the rest black.
                want = np.clip(np.floor(np.abs(mmeans[:, :3]) + 0.5) * np.sign(mmeans[:, :3]), 0, 255)
                good = np.array_equal(palette[:k], want.astype(np.uint8)) and not palette[k:].any()
                print("  its palette %s the class means" % ("shows" if good else "DOES NOT show"))
                ok &= bool(good)

        # Eigenvalues of class 2 against numpy, within single precision.
        kind, eparams, eitems = read_feature(os.path.join(tmp, "pc.ftr"))
        assert kind == b"EIGENID\0" and eparams == params
        values = np.array([struct.unpack_from("<f", it, 4)[0] for it in eitems])
        vectors = np.array([np.frombuffer(it, "<f4", n, 12) for it in eitems])
        ref_values, ref_vectors = np.linalg.eigh(items[2][4])
        ref_values, ref_vectors = ref_values[::-1], ref_vectors[:, ::-1]
        good = np.allclose(values, ref_values, rtol=2e-6, atol=2e-6 * ref_values[0])
        print("egv values  ", " ".join("%.6g" % v for v in values))
        print("numpy values", " ".join("%.6g" % v for v in ref_values))
        align = np.abs(np.sum(vectors * ref_vectors.T, axis=1))
        good &= bool(np.all(align[ref_values > 1e-3 * ref_values[0]] > 1 - 1e-4))
        print("eigenvalues and vectors %s" % ("agree" if good else "DIFFER"))
        ok &= bool(good)
    print("cross-check", "passed" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
