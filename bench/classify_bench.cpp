// Classification and training-statistics kernels on a 4096 x 4096 x 6 BYTE
// scene of 10 classes, against the same rules in numpy (float32, data in
// memory) measured in the same run. The kernels run the way the modules run
// them: one row at a time, each band row turned into singles first.
//
// Then the modules themselves, file to file: the scene and its class mask are
// written as ERDAS files, `rimage gstat` gathers every class under the mask
// (against one plain pass over both files through the line cache), and
// `rimage classify` writes each rule's class image into a new file; its time
// is compared with numpy's and its class counts with numpy's counts.
//
// Usage: bench_classify [DIR]   (DIR keeps the scene for numpy; default /tmp)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/classify.h"
#include "analysis/gstat.h"
#include "analysis/modules.h"
#include "core/conio.h"
#include "image/formats/formats.h"
#include "image/modules.h"
#include "image/registry.h"
#include "platform/files.h"
#include "tests/crosscheck/scene_files.h"

using namespace krel;
using namespace krel::scene;

namespace {

constexpr int kRows = 4096, kCols = 4096, kBands = 6, kClasses = 10;
constexpr double kTshd = 10.0;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class T>
void writeFile(const std::string &path, const T *data, size_t count)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(count * sizeof(T)));
}

// One pass over every band line of a file through the line cache.
double readPass(const std::string &path, uint64_t *sum)
{
    int err = 0;
    double t0 = now();
    RamImage *img = getImage("", path.c_str(), nullptr, nullptr, &err);
    if (!img) return -1.0;
    for (int r = 0; r < img->def.rows; ++r)
        for (int b = 0; b < img->def.nbands; ++b) {
            const uint8_t *line = getLine(img, r, b, 1);
            if (line) *sum += line[0] + line[img->lineBytes - 1];
        }
    releaseImage(img, nullptr);
    return now() - t0;
}

// Pixels of each class value in band 1 of an image file.
std::vector<int64_t> classCounts(const std::string &path, int classes)
{
    std::vector<int64_t> counts(static_cast<size_t>(classes) + 1, 0);
    int err = 0;
    RamImage *img = getImage("", path.c_str(), nullptr, nullptr, &err);
    if (!img) return {};
    for (int r = 0; r < img->def.rows; ++r) {
        const uint8_t *line = getLine(img, r, 0, 1);
        if (!line) continue;
        for (int c = 0; c < img->def.columns; ++c) ++counts[std::min<int>(line[c], classes)];
    }
    releaseImage(img, nullptr);
    return counts;
}

}  // namespace

int main(int argc, char **argv)
{
    consoleState().sink = [](int, const char *text, int length) { fwrite(text, 1, size_t(length), stderr); };
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    dir += "/krel-bench-classify";
    std::string mk = "mkdir -p '" + dir + "'";
    if (system(mk.c_str()) != 0) return 1;

    // The scene: classes in blocks of 64 x 64 with their own band means,
    // plus noise from a cheap generator.
    const size_t plane = size_t(kRows) * kCols;
    std::vector<uint8_t> pixels(plane * kBands), labels(plane);
    uint32_t state = 12345;
    auto noise = [&]() {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 24) % 41) - 20;
    };
    int centre[kClasses][kBands];
    for (int k = 0; k < kClasses; ++k)
        for (int b = 0; b < kBands; ++b) centre[k][b] = 30 + (k * 37 + b * 53 + k * b * 11) % 190;
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            int k = ((r / 64) * 3 + (c / 64) * 7) % kClasses;
            labels[size_t(r) * kCols + c] = static_cast<uint8_t>(k + 1);
            int shared = noise();
            for (int b = 0; b < kBands; ++b)
                pixels[b * plane + size_t(r) * kCols + c] =
                    static_cast<uint8_t>(std::clamp(centre[k][b] + shared / 2 + noise(), 0, 255));
        }

    // gstat: every class under its mask value, the whole scene each time.
    int32_t bandIds[kBands] = {0, 1, 2, 3, 4, 5};
    FeaturePtr stat(
        newFeature(kStatFeatureId, bandIds, kBands, statItemSize(kBands), kClasses, nullptr, kStatPrivateSize));
    double gstatBest = 1e9;
    for (int k = 0; k < kClasses; ++k) {
        StatAccumulator acc;
        if (!acc.init(kBands, kCols)) return 1;
        double t0 = now();
        for (int r = 0; r < kRows; ++r) {
            const uint8_t *mask = &labels[size_t(r) * kCols];
            if (!acc.rowSelected(mask, 1, k + 1)) continue;
            const uint8_t *rows[kBands];
            for (int b = 0; b < kBands; ++b) rows[b] = &pixels[b * plane + size_t(r) * kCols];
            acc.addRow(rows, 1, mask, k + 1);
        }
        acc.finish();
        gstatBest = std::min(gstatBest, now() - t0);
        StatItem it = statItem(stat.get(), k);
        it.setName(("class" + std::to_string(k)).c_str());
        acc.poolInto(it);
    }
    // The memory-speed yardstick: one plain pass summing the same bytes
    // (scene and mask), which the compiler turns into wide loads and adds.
    double readBest = 1e9;
    uint64_t checksum = 0;
    for (int i = 0; i < 3; ++i) {
        double t0 = now();
        uint32_t lanes[32] = {};
        for (const std::vector<uint8_t> *v : {&pixels, &labels}) {
            const uint8_t *d = v->data();
            for (size_t p = 0; p + 32 <= v->size(); p += 32)
                for (int l = 0; l < 32; ++l) lanes[l] += d[p + l];
        }
        for (uint32_t l : lanes) checksum += l;
        readBest = std::min(readBest, now() - t0);
    }
    double mib = (pixels.size() + labels.size()) / 1048576.0;
    printf(
        "gstat over %.0f MiB (6 bands + mask), per class: %.3f s = %.0f MiB/s; one summing pass: %.0f MiB/s "
        "(gstat/read %.2f)%s\n",
        mib, gstatBest, mib / gstatBest, mib / readBest, readBest / gstatBest, checksum ? "" : " ");

    std::vector<int> list(bandIds, bandIds + kBands);
    std::vector<uint8_t> out(kCols);
    ClassLines lines;
    if (!lines.allocate(kBands, kCols, "classifyGeneric")) return 1;
    const int rules[2] = {RULE_MAHALANOBIS, RULE_EUCLIDEAN};
    const char *names[2] = {"MAHALANOBIS", "EUCLIDEAN"};
    double krelTime[2];
    std::vector<int64_t> krelHits[2];
    ClassModel maha;
    for (int i = 0; i < 2; ++i) {
        ClassModel model;
        if (!model.create(stat.get(), list.data(), kBands, rules[i], kTshd)) return 1;
        double best = 1e9;
        for (int rep = 0; rep < 3; ++rep) {
            ClassModel fresh;
            fresh.create(stat.get(), list.data(), kBands, rules[i], kTshd);
            double t0 = now();
            for (int r = 0; r < kRows; ++r) {
                for (int b = 0; b < kBands; ++b) {
                    const uint8_t *src = &pixels[b * plane + size_t(r) * kCols];
                    float *dst = lines.rows[b];
                    for (int c = 0; c < kCols; ++c) dst[c] = src[c];
                }
                fresh.classifyLine(lines.rows.get(), kCols, out.data());
            }
            best = std::min(best, now() - t0);
            krelHits[i].assign(fresh.hits(), fresh.hits() + kClasses);
        }
        krelTime[i] = best;
        if (i == 0) maha.create(stat.get(), list.data(), kBands, rules[i], kTshd);
    }

    // The scene and the model for numpy.
    writeFile(dir + "/pixels.u8", pixels.data(), pixels.size());
    writeFile(dir + "/labels.u8", labels.data(), labels.size());
    std::vector<float> means, inverses, logdets;
    for (int k = 0; k < kClasses; ++k) {
        means.insert(means.end(), maha.mean(k), maha.mean(k) + kBands);
        inverses.insert(inverses.end(), maha.inverse(k), maha.inverse(k) + kBands * kBands);
        logdets.push_back(maha.logDet(k));
    }
    writeFile(dir + "/means.f32", means.data(), means.size());
    writeFile(dir + "/inverses.f32", inverses.data(), inverses.size());
    writeFile(dir + "/logdets.f32", logdets.data(), logdets.size());
    {
        std::ofstream meta(dir + "/meta.txt");
        meta << kRows << " " << kCols << " " << kBands << " " << kClasses << " " << kTshd * kTshd << "\n";
    }

    // ---- The modules, file to file -----------------------------------------------
    const std::string sceneFile = dir + "/scene.lan", maskFile = dir + "/mask.lan", statFile = dir + "/train.ftr";
    if (!writeErdas(sceneFile, pixels.data(), kBands, kRows, kCols) ||
        !writeErdas(maskFile, labels.data(), 1, kRows, kCols)) {
        printf("cannot write the scene files in %s\n", dir.c_str());
        return 1;
    }
    std::vector<uint8_t>().swap(labels);
    uint64_t touched = 0;
    double passBest = 1e9;
    for (int i = 0; i < 3; ++i) passBest = std::min(passBest, readPass(sceneFile, &touched) + readPass(maskFile, &touched));
    double gstatFiles = 0.0;
    unlink(statFile.c_str());
    for (int k = 0; k < kClasses; ++k) {
        double t0 = now();
        if (runModule(gstatModule, "rimage gstat",
                      {"-in", sceneFile, "-out", statFile, "-stat", "class" + std::to_string(k), "-mask", maskFile,
                       "-maskid", std::to_string(k + 1)}) != MODULE_DONE)
            return 1;
        gstatFiles += now() - t0;
    }
    printf("rimage gstat, file to file, per class: %.3f s = %.0f MiB/s; one pass over both files through the line "
           "cache: %.3f s (gstat/pass %.2f)%s\n",
           gstatFiles / kClasses, mib / (gstatFiles / kClasses), passBest, passBest / (gstatFiles / kClasses),
           touched ? "" : " ");
    double moduleTime[2] = {1e9, 1e9};
    std::vector<int64_t> moduleHits[2];
    const char *letters[2] = {"M", "E"};
    const bool dibOut = dibAvailable();
    std::vector<uint8_t> blank(dibOut ? 0 : plane);
    for (int i = 0; i < 2; ++i) {
        for (int rep = 0; rep < 2; ++rep) {
            // A new DIB; a build without DIB output writes into a one-band ERDAS file made beforehand.
            std::string out = dir + "/class_" + letters[i] + (dibOut ? ".bmp" : ".lan");
            unlink(out.c_str());
            if (!dibOut && !writeErdas(out, blank.data(), 1, kRows, kCols)) return 1;
            double t0 = now();
            if (runModule(classifyModule, "rimage classify",
                          {"-in", sceneFile, "-out", out, "-stat", statFile, "-o", letters[i]}) != MODULE_DONE)
                return 1;
            moduleTime[i] = std::min(moduleTime[i], now() - t0);
            moduleHits[i] = classCounts(out, kClasses);
        }
    }

    std::string cmd = "/usr/bin/python3 '" KREL_BENCH_SCRIPT "' '" + dir + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return 1;
    char line[4096];
    double numpyTime[2] = {0, 0};
    double numpyGstat = 0;
    std::vector<int64_t> numpyHits[2];
    while (fgets(line, sizeof line, p)) {
        char rule[32];
        double t;
        int used;
        if (sscanf(line, "%31s %lf%n", rule, &t, &used) < 2) {
            fputs(line, stdout);
            continue;
        }
        if (strcmp(rule, "GSTAT") == 0) {
            numpyGstat = t;
            continue;
        }
        int i = strcmp(rule, "MAHALANOBIS") == 0 ? 0 : 1;
        numpyTime[i] = t;
        const char *q = line + used;
        long long v;
        int n;
        while (sscanf(q, "%lld%n", &v, &n) == 1) {
            numpyHits[i].push_back(v);
            q += n;
        }
    }
    if (pclose(p) != 0) {
        printf("numpy run failed (is python3-numpy installed for /usr/bin/python3?)\n");
        return 1;
    }
    if (numpyGstat > 0)
        printf("gstat per class: rimage gstat file to file %.3f s, numpy mean and covariance of the masked pixels "
               "(data in memory) %.3f s, numpy/rimage %.2f (required >= 1)\n",
               gstatFiles / kClasses, numpyGstat, numpyGstat / (gstatFiles / kClasses));
    printf("classify %d x %d x %d BYTE into %d classes, one row at a time (rows read as singles):\n", kRows, kCols,
           kBands, kClasses);
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        bool same = numpyHits[i].size() >= size_t(kClasses);
        for (int k = 0; same && k < kClasses; ++k) same = numpyHits[i][k] == krelHits[i][k];
        double ratio = numpyTime[i] / krelTime[i];
        printf("  %-12s krel %.3f s   numpy %.3f s   numpy/krel %.2f (required >= 2)   class counts %s\n", names[i],
               krelTime[i], numpyTime[i], ratio, same ? "equal" : "DIFFER");
        ok &= same;
    }
    printf("rimage classify %d x %d x %d BYTE ERDAS file into a new %d-class image file:\n", kRows, kCols, kBands,
           kClasses);
    for (int i = 0; i < 2; ++i) {
        bool same = numpyHits[i].size() == size_t(kClasses) + 1 && moduleHits[i] == numpyHits[i];
        printf("  %-12s rimage classify %.3f s   numpy %.3f s   numpy/rimage %.2f (required >= 2)   class counts "
               "(unknown too) %s\n",
               names[i], moduleTime[i], numpyTime[i], numpyTime[i] / moduleTime[i], same ? "equal" : "DIFFER");
        ok &= same;
    }
    return ok ? 0 : 1;
}
