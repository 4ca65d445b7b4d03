"""numpy's 2-D FFT of a band in memory: the peer of `calc makefft`.
Usage: fft_numpy.py FILE N  (an ERDAS file of one N x N BYTE band).
Prints the best of three runs of numpy.fft.fft2, complex64 in and out."""
import sys
import time

import numpy as np

path, n = sys.argv[1], int(sys.argv[2])
band = np.fromfile(path, np.uint8, n * n, offset=128).reshape(n, n)
z = band.astype(np.complex64)
best = cpu = 1e30
for _ in range(3):
    t0, c0 = time.perf_counter(), time.process_time()
    s = np.fft.fft2(z).astype(np.complex64)
    best = min(best, time.perf_counter() - t0)
    cpu = min(cpu, time.process_time() - c0)
print("peer: numpy %s numpy.fft.fft2 (pocketfft, computes in double), complex64 in and out, in memory"
      % np.__version__)
print("  numpy CPU time: %.3f s" % cpu)
print("NUMPY_SECONDS %.3f" % best)
