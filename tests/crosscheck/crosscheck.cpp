// Makes a synthetic scene of known classes and runs the analysis kernels on
// it: training statistics under masks, MAHALANOBIS and EUCLIDEAN class maps and
// the eigenvectors of one class. Then the same through the modules, file to
// file: the scene and its truth as ERDAS files, `rimage gstat` per class under
// the truth mask, and `rimage classify` into new class image files.
// Everything is written into the directory named on the command line for
// crosscheck.py to recompute independently.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "analysis/classify.h"
#include "analysis/eigen.h"
#include "analysis/gstat.h"
#include "analysis/modules.h"
#include "core/conio.h"
#include "image/formats/formats.h"
#include "image/modules.h"
#include "platform/files.h"
#include "tests/crosscheck/scene_files.h"

using namespace krel;

namespace {

constexpr int kRows = 240, kCols = 320, kBands = 6, kClasses = 5;

template <class T>
bool writeFile(const std::string &path, const std::vector<T> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(T)));
    return static_cast<bool>(f);
}

}  // namespace

using namespace krel::scene;

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    // Without an interpreter the package's messages come here.
    consoleState().sink = [](int, const char *text, int length) { fwrite(text, 1, size_t(length), stderr); };
    std::mt19937 rng(20260105);
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> u(40, 215);

    // Class centres and mixing matrices (covariance = A A^T).
    std::vector<std::vector<double>> centre(kClasses, std::vector<double>(kBands));
    std::vector<std::vector<double>> mix(kClasses, std::vector<double>(kBands * kBands));
    for (int k = 0; k < kClasses; ++k) {
        for (double &c : centre[k]) c = u(rng);
        for (double &a : mix[k]) a = g(rng) * (3 + 2 * k);
    }
    // Labels in blocks of 16 x 16 pixels; pixels drawn from their class.
    std::vector<uint8_t> label(size_t(kRows) * kCols), pixels(size_t(kBands) * kRows * kCols);
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            int k = ((r / 16) * 7 + (c / 16) * 3) % kClasses;
            label[size_t(r) * kCols + c] = static_cast<uint8_t>(k + 1);
            double z[kBands];
            for (double &v : z) v = g(rng);
            for (int b = 0; b < kBands; ++b) {
                double v = centre[k][b];
                for (int j = 0; j < kBands; ++j) v += mix[k][b * kBands + j] * z[j];
                pixels[(size_t(b) * kRows + r) * kCols + c] =
                    static_cast<uint8_t>(std::clamp(std::round(v), 0.0, 255.0));
            }
        }

    // Training: one stat item per class, each accumulated under its mask value
    // in two halves that are pooled.
    std::string statFile = dir + "/train.ftr";
    std::remove(statFile.c_str());
    int32_t bands[kBands];
    for (int b = 0; b < kBands; ++b) bands[b] = b;
    for (int k = 0; k < kClasses; ++k) {
        for (int half = 0; half < 2; ++half) {
            int index;
            FeaturePtr fb = openStatTarget(statFile.c_str(), ("class" + std::to_string(k)).c_str(), bands, kBands,
                                           "synthetic", &index);
            if (!fb) return 1;
            StatRegion region;
            std::string sr = half ? "100" : "0", rr = half ? "1000" : "100";
            if (!statRegion(kRows, kCols, sr.c_str(), nullptr, rr.c_str(), nullptr, nullptr, nullptr, &region))
                return 1;
            StatAccumulator acc;
            if (!acc.init(kBands, region.samples)) return 1;
            for (int r = region.sr; r < region.sr + region.rows; r += region.dy) {
                const uint8_t *mask = &label[size_t(r) * kCols + region.sc];
                if (!acc.rowSelected(mask, region.dx, k + 1)) continue;
                const uint8_t *rows[kBands];
                for (int b = 0; b < kBands; ++b) rows[b] = &pixels[(size_t(b) * kRows + r) * kCols + region.sc];
                acc.addRow(rows, region.dx, mask, k + 1);
            }
            acc.finish();
            if (acc.poolInto(statItem(fb.get(), index)) == PoolResult::Pooled &&
                !saveFeature(statFile.c_str(), fb.get()))
                return 1;
        }
    }

    // Class maps over the whole scene.
    FeaturePtr stat(getFeature(statFile.c_str(), kStatFeatureId));
    if (!stat) return 1;
    std::vector<int> list;
    if (!classifyBands(nullptr, kBands, stat.get(), &list)) return 1;
    const struct {
        int rule;
        double tshd;
        const char *name;
    } runs[] = {{RULE_MAHALANOBIS, 10.0, "maha10"},
                {RULE_MAHALANOBIS, 1000.0, "maha1000"},
                {RULE_EUCLIDEAN, 10.0, "eucl10"},
                {RULE_EUCLIDEAN, 1000.0, "eucl1000"}};
    for (const auto &run : runs) {
        ClassModel model;
        if (!model.create(stat.get(), list.data(), kBands, run.rule, run.tshd)) return 1;
        ClassLines lines;
        if (!lines.allocate(kBands, kCols, "classifyGeneric")) return 1;
        std::vector<int32_t> map(size_t(kRows) * kCols);
        for (int r = 0; r < kRows; ++r) {
            for (int b = 0; b < kBands; ++b)
                for (int c = 0; c < kCols; ++c) lines.rows[b][c] = pixels[(size_t(list[b]) * kRows + r) * kCols + c];
            model.classifyLine(lines.rows.get(), kCols, &map[size_t(r) * kCols]);
        }
        if (!writeFile(dir + "/" + run.name + ".i32", map)) return 1;
    }

    // Principal components of class 2.
    EgvOptions o;
    std::string egvFile = dir + "/pc.ftr";
    o.in = statFile.c_str();
    o.out = egvFile.c_str();
    o.stat = "class2";
    o.err = "1e-12";
    o.iter = "5000";
    if (!egvRun(o)) return 1;

    // The modules, file to file.
    const std::string scene = dir + "/scene.lan", truth = dir + "/truth.lan", moduleStat = dir + "/module.ftr";
    if (!writeErdas(scene, pixels.data(), kBands, kRows, kCols) || !writeErdas(truth, label.data(), 1, kRows, kCols))
        return 1;
    for (int k = 0; k < kClasses; ++k)
        if (runModule(gstatModule, "rimage gstat",
                      {"-in", scene, "-out", moduleStat, "-stat", "class" + std::to_string(k), "-mask", truth, "-maskid",
                       std::to_string(k + 1)}) != MODULE_DONE)
            return 1;
    const bool dib = dibAvailable();
    std::ofstream moduleList(dir + "/modules.txt");
    const std::vector<uint8_t> blank(size_t(kRows) * kCols, 0);
    for (const char *rule : {"MAHALANOBIS", "EUCLIDEAN"})
        for (const char *tshd : {"10", "1000"}) {
            std::string out = dir + "/module_" + rule + tshd + (dib ? ".bmp" : ".lan");
            // A build without DIB output classifies into a one-band ERDAS file made beforehand.
            if (!dib && !writeErdas(out, blank.data(), 1, kRows, kCols)) return 1;
            if (runModule(classifyModule, "rimage classify",
                          {"-in", scene, "-out", out, "-stat", moduleStat, "-o", rule, "-tshd", tshd}) != MODULE_DONE)
                return 1;
            moduleList << rule << " " << tshd << " " << out << "\n";
        }
    if (!moduleList) return 1;

    if (!writeFile(dir + "/pixels.u8", pixels) || !writeFile(dir + "/labels.u8", label)) return 1;
    std::ofstream meta(dir + "/meta.txt");
    meta << kRows << " " << kCols << " " << kBands << " " << kClasses << "\n";
    return meta ? 0 : 1;
}
