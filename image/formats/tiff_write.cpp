// TIFF files: the header writer. One uncompressed strip of pixel data from
// offset 8, the per-sample arrays and the colour map after it, then the one
// image file directory.
#include "image/formats/tiff.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

int writeTiffHeader(int fd, int checkSpace, ImageDef *def)
{
    const int nb = def->nbands;
    const int bits = pixelBits(def->pixel);
    if (bits <= 0 || nb < 1 || nb > 4096 || def->rows < 1 || def->columns < 1) return -1;
    if (bits < 8 && nb != 1) return -1;
    const int64_t perRow = bits >= 8 ? static_cast<int64_t>(def->columns) * nb * bits / 8
                                     : (static_cast<int64_t>(def->columns) * bits + 7) / 8;
    const int64_t dataSize = perRow * def->rows;
    if (perRow > INT32_MAX || dataSize > UINT32_MAX - 65536 - 12 * nb) {
        conEprintf("Error in writing Tiff %s: %lld bytes of data are too many for a Tiff file.\n", def->file,
                   static_cast<long long>(dataSize));
        return -1;
    }
    if (checkSpace) {
        double requested = 8.0 + static_cast<double>(dataSize);
        double available = platform::freeDiskSpace(def->file);
        if (available >= 0 && requested > available) {
            conEprintf("Insufficient disk space.  Requested:%.f Available:%.f\n", requested, available);
            return -1;
        }
    }
    const bool msbf = kHostMsbf != 0;
    int sampleFormat;
    switch (def->pixel) {
    case PIX_SHORT:
    case PIX_LONG:
    case PIX_SBYTE: sampleFormat = 2; break;
    case PIX_FLOAT: sampleFormat = 3; break;
    default: sampleFormat = 1; break;
    }
    const bool palette = nb == 1 && def->nindices > 0 && bits <= 8;
    // A colour map has 2^bits entries of each colour: 256 for bytes. Values
    // are 16-bit: v x 257 maps 255 to 65535, and both v x 257 / 257 (GDAL,
    // ImageMagick) and v x 257 >> 8 (this reader) give v back.
    const int mapEntries = palette ? 1 << bits : 0;

    // The extra area after the data, each array on a word boundary.
    int64_t at = (8 + dataSize + 1) & ~int64_t(1);
    const int64_t bitsAt = nb > 2 ? at : 0;
    if (nb > 2) at += 2 * nb;
    const int64_t formatAt = nb > 2 ? at : 0;
    if (nb > 2) at += 2 * nb;
    const int64_t mapAt = palette ? at : 0;
    at += 6 * mapEntries;
    const int64_t dirAt = at;
    std::vector<uint8_t> extra(static_cast<size_t>(dirAt - ((8 + dataSize + 1) & ~int64_t(1))));
    const int64_t extraAt = (8 + dataSize + 1) & ~int64_t(1);
    for (int b = 0; b < nb && nb > 2; ++b) {
        put16(extra.data() + (bitsAt - extraAt) + 2 * b, static_cast<unsigned>(bits), msbf);
        put16(extra.data() + (formatAt - extraAt) + 2 * b, static_cast<unsigned>(sampleFormat), msbf);
    }
    for (int c = 0; c < 3 && palette; ++c)
        for (int i = 0; i < mapEntries; ++i)
            put16(extra.data() + (mapAt - extraAt) + 2 * (c * mapEntries + i), def->palette[i][c] * 257u, msbf);

    const int count = palette ? 15 : 14;
    std::vector<uint8_t> d(static_cast<size_t>(2 + 12 * count + 4), 0);
    put16(d.data(), static_cast<unsigned>(count), msbf);
    uint8_t *e = d.data() + 2;
    auto entry = [&](int tag, int type, uint32_t n) {
        put16(e, static_cast<unsigned>(tag), msbf);
        put16(e + 2, static_cast<unsigned>(type), msbf);
        put32(e + 4, n, msbf);
        e += 12;
        return e - 4;  // the value field
    };
    auto longEntry = [&](int tag, uint32_t v) { put32(entry(tag, T_LONG, 1), v, msbf); };
    auto shortEntry = [&](int tag, unsigned v) { put16(entry(tag, T_SHORT, 1), v, msbf); };
    auto perSample = [&](int tag, unsigned v, int64_t arrayAt) {
        if (nb == 1) longEntry(tag, v);
        else if (nb == 2) {
            uint8_t *f = entry(tag, T_SHORT, 2);
            put16(f, v, msbf);
            put16(f + 2, v, msbf);
        } else {
            put32(entry(tag, T_SHORT, static_cast<uint32_t>(nb)), static_cast<uint32_t>(arrayAt), msbf);
        }
    };
    longEntry(256, static_cast<uint32_t>(def->columns));
    longEntry(257, static_cast<uint32_t>(def->rows));
    perSample(258, static_cast<unsigned>(bits), bitsAt);
    longEntry(259, 1);
    longEntry(262, palette ? 3 : nb == 3 ? 2 : 1);
    longEntry(273, 8);
    shortEntry(274, 1);
    shortEntry(277, static_cast<unsigned>(nb));
    longEntry(278, static_cast<uint32_t>(def->rows));
    longEntry(279, static_cast<uint32_t>(dataSize));
    // Entries in ascending tag order, as readers require.
    longEntry(280, 0);
    longEntry(281, 255);
    shortEntry(284, 1);
    if (palette) put32(entry(320, T_SHORT, static_cast<uint32_t>(3 * mapEntries)), static_cast<uint32_t>(mapAt), msbf);
    perSample(339, static_cast<unsigned>(sampleFormat), formatAt);

    uint8_t h[8] = {static_cast<uint8_t>(msbf ? 'M' : 'I'), static_cast<uint8_t>(msbf ? 'M' : 'I')};
    put16(h + 2, 42, msbf);
    put32(h + 4, static_cast<uint32_t>(dirAt), msbf);
    if (platform::writeAt(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -1;
    if (!extra.empty() && platform::writeAt(fd, extra.data(), extra.size(), extraAt) != static_cast<ssize_t>(extra.size()))
        return -1;
    if (platform::writeAt(fd, d.data(), d.size(), dirAt) != static_cast<ssize_t>(d.size())) return -1;
    def->offset = 8;
    def->block = static_cast<int32_t>(perRow);
    def->msbf = bits < 8 ? 1 : kHostMsbf;
    def->bits = bits;
    return 8;
}

}  // namespace krel
