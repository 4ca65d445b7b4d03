// The Fourier kernel against a direct DFT, and the filter specifications.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <vector>

#include "analysis/fft.h"
#include "analysis/fft_passes.h"
#include "analysis/modules.h"
#include "image/registry.h"
#include "module_support.h"

using namespace krel;
using namespace krel::test;

namespace {

// Largest error of the kernel's shifted forward transform against the direct
// sum F(j) = sum_x f(x) e^{+2 pi i ((j + N/2) mod N) x / N}, relative to the
// largest value, over the first and the last lane; and of the round trip.
void checkLength(int n, int lanes, double *forwardError, double *roundTripError)
{
    FFTPlan plan;
    ASSERT_TRUE(plan.init(n));
    std::vector<float> re(static_cast<size_t>(n) * lanes), im(re.size());
    uint32_t state = 12345u + n;
    for (size_t k = 0; k < re.size(); ++k) {
        state = state * 22695477u + 1u;
        re[k] = static_cast<float>((state >> 16) & 0x7FFF) / 32767.0f - 0.5f;
        state = state * 22695477u + 1u;
        im[k] = static_cast<float>((state >> 16) & 0x7FFF) / 32767.0f - 0.5f;
    }
    const std::vector<float> re0 = re, im0 = im;
    plan.forwardShifted(re.data(), im.data(), lanes);
    std::vector<std::complex<double>> w(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) w[k] = std::polar(1.0, 2.0 * M_PI * k / n);
    double err = 0, scale = 0;
    for (int b : {0, lanes - 1}) {
        for (int j = 0; j < n; ++j) {
            const long u = (j + n / 2) % n;
            std::complex<double> sum = 0;
            for (int x = 0; x < n; ++x)
                sum += std::complex<double>(re0[static_cast<size_t>(x) * lanes + b], im0[static_cast<size_t>(x) * lanes + b]) *
                       w[static_cast<size_t>((u * x) % n)];
            const std::complex<double> got(re[static_cast<size_t>(j) * lanes + b], im[static_cast<size_t>(j) * lanes + b]);
            err = std::max(err, std::abs(got - sum));
            scale = std::max(scale, std::abs(sum));
        }
    }
    *forwardError = err / scale;
    plan.inverseShifted(re.data(), im.data(), lanes);
    double back = 0;
    for (size_t k = 0; k < re.size(); ++k) back = std::max<double>(back, std::hypot(re[k] - re0[k], im[k] - im0[k]));
    *roundTripError = back;
}

}  // namespace

TEST(FFTKernel, MatchesTheDirectTransformFromOneTo4096Points)
{
    for (int n = 1; n <= 4096; n *= 2) {
        for (int lanes : {kFFTLanes, 3}) {
            if (lanes == 3 && n > 256) continue;
            double forward = 0, roundTrip = 0;
            checkLength(n, lanes, &forward, &roundTrip);
            EXPECT_LE(forward, 2e-6) << n << " points, " << lanes << " lanes";
            EXPECT_LE(roundTrip, 2e-6) << n << " points, " << lanes << " lanes";
        }
    }
    FFTPlan plan;
    EXPECT_FALSE(plan.init(0));
    EXPECT_FALSE(plan.init(12));
}

TEST(FFTFilter, ParsesEachFormAndRefusesTheRest)
{
    FFTFilter f;
    ASSERT_TRUE(f.parse("bell,10,2"));
    EXPECT_EQ(f.kind, FFTFilter::BELL);
    EXPECT_EQ(f.rx, 10);
    EXPECT_EQ(f.ry, 10);
    EXPECT_EQ(f.n, 2);
    ASSERT_TRUE(f.parse("high,8,4,3,0.5"));
    EXPECT_EQ(f.kind, FFTFilter::HIGH);
    EXPECT_EQ(f.rx, 8);
    EXPECT_EQ(f.ry, 4);
    EXPECT_EQ(f.n, 3);
    EXPECT_EQ(f.amp, 0.5);
    ASSERT_TRUE(f.parse("notch,4,2,1,30,40"));
    EXPECT_EQ(f.kind, FFTFilter::NOTCH);
    EXPECT_EQ(f.x, 30);
    EXPECT_EQ(f.y, 40);
    // Outside its radius a notch leaves the sample alone; at its centre it
    // takes 1 - amp.
    EXPECT_EQ(f.gain(30, 45, 64, 64, 3), 1.0);
    EXPECT_NEAR(f.gain(30, 40, 64, 64, 3), 0.0, 1e-12);
    for (const char *bad : {"bell,10", "high,1,2", "notch,1,2,3,4", "ring,1,2", "bell,0,2", "bell,-3,2", ""})
        EXPECT_FALSE(f.parse(bad)) << bad;
    // Far out a bell's exponent underflows: the gain is 0, a high-pass's 1.
    ASSERT_TRUE(f.parse("bell,1,1"));
    EXPECT_EQ(f.gain(0, 0, 2048, 2048, 3), 0.0);
    ASSERT_TRUE(f.parse("high,1,1,1"));
    EXPECT_EQ(f.gain(0, 0, 2048, 2048, 3), 1.0);
}

namespace {

std::vector<float> samples(const std::string &path, FFTHeader *head)
{
    Bytes b = readBytes(path);
    std::vector<float> v;
    if (b.size() < sizeof *head) return v;
    memcpy(head, b.data(), sizeof *head);
    v.resize((b.size() - sizeof *head) / 4);
    memcpy(v.data(), b.data() + sizeof *head, v.size() * 4);
    return v;
}

}  // namespace

TEST(FFTModules, AConstantBandHasAllItsEnergyInTheMiddle)
{
    TempDir dir;
    ConsoleCapture capture;
    const std::string in = dir.file("c.lan"), xy = dir.file("xy.fft"), y = dir.file("y.fft");
    writeErdas(in, 1, 3, 5, std::vector<int>(15, 7));
    ASSERT_EQ(run(makefftModule, {"in=" + in, "out=" + xy}), MODULE_DONE);
    ASSERT_EQ(run(makefftModule, {"op=y", "in=" + in, "out=" + y}), MODULE_DONE);
    FFTHeader h;
    std::vector<float> v = samples(xy, &h);
    ASSERT_EQ(v.size(), 4u * 8u * 2u);
    EXPECT_EQ(h.kind, FFT_SFRI);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) {
            const float want = r == 2 && c == 4 ? 224.0f : 0.0f;
            EXPECT_NEAR(v[(r * 8 + c) * 2], want, 1e-4) << r << " " << c;
            EXPECT_NEAR(v[(r * 8 + c) * 2 + 1], 0.0f, 1e-4) << r << " " << c;
        }
    // The header describes the stored samples: 32 of them, mean 7.
    EXPECT_EQ(h.count, 32);
    EXPECT_EQ(h.maxReal, 224);
    EXPECT_NEAR(h.meanReal, 7, 1e-9);
    EXPECT_NEAR(h.sqReal, std::sqrt(224.0 * 224.0 / 32 - 49), 1e-6);
    EXPECT_EQ(h.sqImag, 0);
    // Along columns only: every column's energy in row 2, the padded row
    // (a repeat of row 0) included.
    v = samples(y, &h);
    EXPECT_EQ(h.kind, FFT_SFRIY);
    for (int c = 0; c < 8; ++c) EXPECT_NEAR(v[(2 * 8 + c) * 2], 28.0f, 1e-4) << c;
}

TEST(FFTModules, RefusalsPrintTheirMessage)
{
    TempDir dir;
    ConsoleCapture capture;
    const std::string in = dir.file("b.lan"), sfri = dir.file("s.fft");
    writeErdas(in, 1, 4, 4, std::vector<int>(16, 3));
    ASSERT_EQ(run(makefftModule, {"in=" + in, "out=" + sfri}), MODULE_DONE);
    // A header whose sizes its file does not hold.
    Bytes bad = readBytes(sfri);
    putLE(bad, 84, 6, 4);
    writeBytes(dir.file("bad.fft"), bad);
    const struct {
        std::vector<std::string> words;
        const char *message;
    } cases[] = {
        {{"-in", sfri, "-out", dir.file("o.fft"), "-op", "RI"}, "Input FFT is already in {real,image} format.\n"},
        {{"-in", in, "-out", dir.file("o.fft"), "-op", "FLTR", "-fp", "bell,2,2"}, "Invalid op for a raw image.\n"},
        {{"-in", sfri, "-out", dir.file("o.fft"), "-op", "XX", "-fp", "bell,2,2"},
         "Input image must be INIT, FSPP, or FSRI.\n"},
        {{"-in", sfri, "-out", dir.file("o.fft"), "-op", "FLTR"}, "Missing filter specification!\n"},
        {{"-in", sfri, "-out", dir.file("o.fft"), "-op", "FLTR", "-fp", "bell,2"}, "Invalid filter specification.\n"},
        {{"-in", in, "-out", dir.file("o.fft"), "-b", "2"}, "Wrong band number: 2 (max bands: 1).\n"},
        {{"-in", sfri, "-out", in}, "Wrong type of output file.\n"},
        {{"-in", in, "-out", dir.file("o.fft"), "-op", "XYZ"}, "Undefined operation: -op XYZ\n"},
        {{"-in", dir.file("bad.fft"), "-out", dir.file("o.fft")}, "Not an FFT image file!\n"},
    };
    for (const auto &c : cases) {
        capture.err.clear();
        EXPECT_EQ(run(gfftransModule, c.words), MODULE_FAILED) << c.message;
        EXPECT_NE(capture.err.find(c.message), std::string::npos) << capture.err;
    }
    capture.err.clear();
    EXPECT_EQ(run(makefftModule, {"in=" + in, "out=" + sfri, "b=2"}), MODULE_FAILED);
    EXPECT_EQ(capture.err, "Illegal Band Number!\n");
    EXPECT_EQ(readBytes(dir.file("o.fft")).size(), 0u);  // nothing was made
}

TEST(FFTModules, ACancelledRunLeavesTheTargetAsItWas)
{
    TempDir dir;
    ConsoleCapture capture;
    const std::string in = dir.file("b.lan"), out = dir.file("t.fft");
    // Eight chunks: four of 512 rows, four of 256 columns.
    std::vector<int> values(2048 * 1024);
    for (size_t k = 0; k < values.size(); ++k) values[k] = static_cast<int>(k * 7 % 251);
    writeErdas(in, 1, 2048, 1024, values);
    ASSERT_EQ(run(makefftModule, {"in=" + in, "out=" + out}), MODULE_DONE);
    const Bytes before = readBytes(out);
    {
        AbortingMeter abort(0.3);
        if (!abort.ip) GTEST_SKIP() << "no interpreter";
        EXPECT_EQ(run(gfftransModule, {"-in", out, "-out", out}), MODULE_DONE);
    }
    EXPECT_EQ(readBytes(out), before);
    // Run to the end, one file as input and output: the band comes back,
    // and an image open on the file reads the new samples. Transformed in
    // the file's mapping this time rather than in memory.
    FFTPasses::setMemoryLimit(0);
    int error = 0;
    ImageHold held(out.c_str(), &error);
    ASSERT_TRUE(held);
    const int rc = run(gfftransModule, {"-in", out, "-out", out});
    FFTPasses::setMemoryLimit(-1);
    ASSERT_EQ(rc, MODULE_DONE);
    FFTHeader h;
    std::vector<float> v = samples(out, &h);
    EXPECT_EQ(h.kind, FFT_FSRI);
    EXPECT_NEAR(v[2 * 65], static_cast<float>(values[65]), 1e-3);
    float re;
    memcpy(&re, getLine(held.get(), 0, 0, 1) + 4 * 65, 4);
    EXPECT_NEAR(re, static_cast<float>(values[65]), 1e-3);
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path)) files += entry.is_regular_file();
    EXPECT_EQ(files, 2u);  // b.lan, t.fft: nothing left beside them
}
