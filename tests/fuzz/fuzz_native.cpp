// libFuzzer target: the system's own files (IMAGEDEF, ERDAS HEADER/HEAD74/
// E74BSQ, ELAS, FFT) through the whole detection chain and the line cache.
//
// With KREL_FUZZ_SEEDS=DIR in the environment the binary writes its seed
// corpus into DIR with the package's own writers and stops: the native
// formats have few independent writers (seeds-native.sh adds GDAL's).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "platform/files.h"
#include "reader.h"

namespace {

using namespace krel;

// One file of the given layout, filled with a ramp so that every band and
// row differ.
void writeSeed(const std::string &path, int imgid, int pixel, int nbands, int rows, int columns, int msbf)
{
    ImageDef def = defaultImageDef();
    snprintf(def.file, sizeof def.file, "%s", path.c_str());
    def.imgid = imgid;
    def.pixel = pixel;
    def.nbands = nbands;
    def.rows = rows;
    def.columns = columns;
    def.msbf = msbf;
    // Raw layouts get their IMAGEDEF header block; the others their own.
    def.offset = imgid == IMG_BSQ || imgid == IMG_BIL || imgid == IMG_BIP ? 1024 : 0;
    def.block = 0;
    def.left = 3;
    def.top = 5;
    int err = 0;
    RamImage *img = openWithDef(&def, nullptr, 1, &err);
    if (img == nullptr) {
        fprintf(stderr, "seed %s: error %d\n", path.c_str(), err);
        return;
    }
    for (int b = 0; b < nbands; ++b)
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c) {
                const float v = static_cast<float>((b * 37 + r * 5 + c) % 200) - (pixel == PIX_BYTE ? 0 : 50);
                putFloatLine(img, r, c, 1, b, &v);
            }
    flushImage(img);
    releaseImage(img, nullptr);
}

void putI32(uint8_t *p, int32_t v)
{
    memcpy(p, &v, 4);
}

// ELAS files come from elsewhere only: a 1024-byte header (rows and columns
// as first and last numbers, 4321 as the mark) and line-interleaved records.
void writeElasSeed(const std::string &path)
{
    const int rows = 5, columns = 8, bands = 2, block = 16;
    std::vector<uint8_t> bytes(1024 + rows * bands * block);
    uint8_t *h = bytes.data();
    putI32(h + 0, 1024);
    putI32(h + 4, block);
    putI32(h + 8, 1);
    putI32(h + 12, rows);
    putI32(h + 16, 1);
    putI32(h + 20, columns);
    putI32(h + 24, bands);
    putI32(h + 28, 4321);
    for (size_t i = 1024; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    if (fd) platform::writeAt(fd.get(), bytes.data(), bytes.size(), 0);
}

// A transform file as the Fourier modules write it: complex rows of a
// power-of-two square.
void writeFFTSeed(const std::string &path)
{
    FFTHeader head;
    initFFTHeader(&head, "seed.lan", 1, 6, 7, FFT_SFRI);
    const int fd = createFFTFile(path.c_str(), &head);
    if (fd < 0) return;
    std::vector<float> rows(static_cast<size_t>(head.rows) * head.columns * 2);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i % 11) - 5.0f;
    PutFFTFileBlock(&head, fd, rows.data(), 0, head.rows, 1);
    finishFFTStats(&head);
    PutFFTHead(&head, fd);
    close(fd);
}

void writeSeeds(const std::string &dir)
{
    writeElasSeed(dir + "/elas.img");
    writeFFTSeed(dir + "/fft.fft");
    struct Seed {
        const char *name;
        int imgid, pixel, nbands, rows, columns, msbf;
    };
    const Seed seeds[] = {
        {"bil-byte.lan", IMG_E74, PIX_BYTE, 3, 7, 9, 0},
        {"bil-short.lan", IMG_E74, PIX_SHORT, 2, 5, 6, 0},
        {"old.lan", IMG_E73, PIX_BYTE, 2, 4, 5, 0},
        {"bsq.lan", IMG_E74BSQ, PIX_SHORT, 3, 4, 5, 0},
        {"four.lan", IMG_E74, PIX_4BITS, 1, 6, 7, 0},
        {"bsq.img", IMG_BSQ, PIX_FLOAT, 2, 4, 6, 0},
        {"bil-msbf.img", IMG_BIL, PIX_SHORT, 3, 4, 5, 1},
        {"bip.img", IMG_BIP, PIX_USHORT, 3, 3, 4, 0},
        {"bit.img", IMG_BSQ, PIX_1BIT, 1, 5, 17, 1},
        {"long.img", IMG_BIL, PIX_LONG, 1, 3, 3, 1},
    };
    for (const Seed &s : seeds) writeSeed(dir + "/" + s.name, s.imgid, s.pixel, s.nbands, s.rows, s.columns, s.msbf);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    krel::fuzz::writeOwnSeeds(writeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return krel::fuzz::readImage(data, size, "img");
}
