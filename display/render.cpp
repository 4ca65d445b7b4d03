// The pixmap makers: display rows are sampled from the RAM image, filtered,
// turned into pixel values for the visual (TrueColor masks, colour cells,
// dithered cells) and transferred to the pixmap in strips through the
// XImage, written as columns when the display is rotated.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/conio.h"
#include "display/filter.h"
#include "display/gimg.h"

namespace krel {

namespace {

constexpr int kStripRows = 128;   // rows of one strip (the XImage's height)
constexpr int kNarrowLimit = 256; // XImage width without -turbo

enum class Mode { Packed, CellIndex, Dithered, OwnPalette };

// Pixel value tables of a TrueColor/DirectColor visual, from its masks.
struct MaskPacker {
    uint32_t part[3][256];
    explicit MaskPacker(const Visual *v)
    {
        const unsigned long masks[3] = {v->red_mask, v->green_mask, v->blue_mask};
        for (int c = 0; c < 3; ++c) {
            unsigned long m = masks[c];
            int shift = 0, bits = 0;
            if (m) {
                while (!((m >> shift) & 1)) ++shift;
                while ((m >> (shift + bits)) & 1) ++bits;
            }
            for (int v8 = 0; v8 < 256; ++v8) {
                uint32_t x;
                if (bits == 0)
                    x = 0;
                else if (bits <= 8)
                    x = static_cast<uint32_t>(v8) >> (8 - bits);
                else  // wider channels repeat the high bits below
                    x = (static_cast<uint32_t>(v8) << (bits - 8)) | (static_cast<uint32_t>(v8) >> (16 - bits));
                part[c][v8] = x << shift;
            }
        }
    }
};

const char *makerName(const GimgMaster *m, int bpp)
{
    if (bpp == 8) return m->o.dither ? "dither8BitPixmap" : "make8BitPixmap";
    if (bpp == 16) return "make16BitPixmap";
    return "make24BitPixmap";
}

struct Renderer {
    GimgMaster *m;
    const ColorCells &cells;  // the instance's cells
    RamImage *img;
    Mode mode;
    int W, H;          // render size: column map x row map
    int colFirst = 0, colLast = 0;
    int rows = 0;
    int nActive = 0;           // active channels
    bool replicate = false;    // one band shown in all three channels
    int order[3] = {0, 1, 2};  // channels by band number
    LineSampler sampler[3];
    uint8_t component[3][256];
    uint8_t identity[256];
    std::vector<uint8_t> val[3];
    std::vector<uint8_t> up[3];
    bool upValid = false;
    bool filtering = false;
    LineFilter filter;
    bool average = false;
    std::vector<int16_t> err[3];
    const MaskPacker *packer = nullptr;
    uint32_t zeroPixel = 0;
    int prevSrcRow = -1;
    std::vector<uint32_t> prevOut;

    Renderer(GimgMaster *master, const ColorCells &cc, RamImage *image, Mode md)
        : m(master), cells(cc), img(image), mode(md)
    {
        W = m->renderW;
        H = m->renderH;
        for (int i = 0; i < 256; ++i) identity[i] = static_cast<uint8_t>(i);
        if (img) {
            rows = img->def.rows;
            validRange(m->colMap, img->def.columns, &colFirst, &colLast);
            colLast = std::min(colLast, W);
            colFirst = std::min(colFirst, colLast);
        }
        const int combCount = std::clamp(m->o.comb.count, 1, 3);
        replicate = combCount == 1;
        nActive = 0;
        for (int c = 0; c < 3; ++c) {
            val[c].assign(static_cast<size_t>(W), 0);
            const bool used = c < combCount && m->ch[c].band >= 0 && img && m->ch[c].band < img->def.nbands;
            LineSampler &s = sampler[c];
            s.pixel = img ? img->def.pixel : 0;
            s.msbf = img ? img->def.msbf : 0;
            s.low = m->ch[c].low;
            s.high = m->ch[c].high;
            s.table = m->ch[c].table;
            s.component = nullptr;
            if (used && m->paletteInUse) {
                const int comp = std::clamp(m->o.comb.band[c] - 1, 0, 2);
                for (int i = 0; i < 256; ++i) component[c][i] = m->palette[i][comp];
                s.component = component[c];
            }
            if (used) order[nActive++] = c;
        }
        std::sort(order, order + nActive, [&](int a, int b) { return m->ch[a].band < m->ch[b].band; });
        const double strength = m->o.emboss != 0 ? m->o.emboss : m->o.sharpness;
        filtering = strength != 0;
        filter.strength = strength;
        filter.background = m->o.emboss != 0 ? -1 : std::clamp(m->o.filterbg, 0, 255);
        filter.direction = std::clamp(m->o.filterdir, 0, 4);
        if (filtering)
            for (int c = 0; c < 3; ++c) up[c].assign(static_cast<size_t>(W), 0);
        // A grey ramp shows the mean of the channels; on deep displays only
        // when the ramp was asked for, on 8-bit displays whenever it is in use.
        const bool greyCells = mode == Mode::Packed ? m->o.palette.v[0] > 0 : cells.grey;
        average = greyCells && nActive > 1 && mode != Mode::OwnPalette;
        if (mode == Mode::Dithered)
            for (int c = 0; c < 3; ++c) err[c].assign(static_cast<size_t>(W) + 1, 0);
        prevOut.assign(static_cast<size_t>(W), 0);
    }

    // Fast path of deep displays: BYTE data shown without filter or mean,
    // where table, palette component and packing fold into one look-up
    // per channel and a row is one pass over the source lines.
    bool fused = false;
    uint32_t lut[3][256];

    void prepareFused()
    {
        fused = mode == Mode::Packed && img && img->def.pixel == PIX_BYTE && !filtering && !average && nActive > 0;
        if (!fused) return;
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v) lut[c][v] = 0;
        for (int k = 0; k < nActive; ++k) {
            const int c = order[k];
            const LineSampler &s = sampler[c];
            for (int v = 0; v < 256; ++v) {
                const uint8_t level = s.table[s.component ? s.component[v] : v];
                lut[c][v] = replicate ? packer->part[0][level] | packer->part[1][level] | packer->part[2][level]
                                      : packer->part[c][level];
            }
        }
    }

    void fusedRow(int srcRow, uint32_t *out)
    {
        const uint8_t *lines[3] = {nullptr, nullptr, nullptr};
        for (int k = 0; k < nActive; ++k) {
            const int c = order[k];
            lines[k] = img->getLine(img, srcRow, m->ch[c].band, 1);
            if (!lines[k]) lines[k] = zeroLine();
        }
        const int32_t *map = m->colMap.index.data();
        // Columns outside the image show table entry 0 of each channel.
        uint32_t edge = 0;
        for (int k = 0; k < nActive; ++k) {
            const int c = order[k];
            const uint8_t level = sampler[c].table[0];
            edge |= replicate ? packer->part[0][level] | packer->part[1][level] | packer->part[2][level]
                              : packer->part[c][level];
        }
        for (int i = 0; i < colFirst; ++i) out[i] = edge;
        for (int i = colLast; i < W; ++i) out[i] = edge;
        if (nActive == 1) {
            const uint32_t *q0 = lut[order[0]];
            const uint8_t *l0 = lines[0];
            for (int i = colFirst; i < colLast; ++i) out[i] = q0[l0[map[i]]];
        } else if (nActive == 2) {
            const uint32_t *q0 = lut[order[0]], *q1 = lut[order[1]];
            const uint8_t *l0 = lines[0], *l1 = lines[1];
            for (int i = colFirst; i < colLast; ++i) {
                const int32_t c = map[i];
                out[i] = q0[l0[c]] | q1[l1[c]];
            }
        } else {
            const uint32_t *q0 = lut[order[0]], *q1 = lut[order[1]], *q2 = lut[order[2]];
            const uint8_t *l0 = lines[0], *l1 = lines[1], *l2 = lines[2];
            for (int i = colFirst; i < colLast; ++i) {
                const int32_t c = map[i];
                out[i] = q0[l0[c]] | q1[l1[c]] | q2[l2[c]];
            }
        }
    }

    std::vector<uint8_t> zeros;
    const uint8_t *zeroLine()
    {
        if (zeros.empty()) zeros.assign(static_cast<size_t>(std::max(img->lineBytes, 1)), 0);
        return zeros.data();
    }

    uint32_t cellPixel(int index) const
    {
        const auto &px = cells.pixels;
        if (px.empty()) return 0;
        index = std::clamp(index, 0, static_cast<int>(px.size()) - 1);
        return static_cast<uint32_t>(px[static_cast<size_t>(index)]);
    }

    void sampleRow(int srcRow)
    {
        for (int k = 0; k < nActive; ++k) {
            const int c = order[k];
            LineSampler s = sampler[c];
            if (mode == Mode::OwnPalette) {
                s.table = identity;
                s.component = nullptr;
            }
            const uint8_t *line = img->getLine(img, srcRow, m->ch[c].band, 1);
            if (!line) {
                std::fill(val[c].begin(), val[c].end(), s.table[0]);
                continue;
            }
            sampleLine(s, line, m->colMap.index.data(), W, colFirst, colLast, val[c].data());
        }
        if (mode == Mode::OwnPalette) return;
        if (average) {
            for (int i = 0; i < W; ++i) {
                int sum = 0;
                for (int k = 0; k < nActive; ++k) sum += val[order[k]][i];
                val[0][i] = static_cast<uint8_t>(sum / nActive);
            }
        }
        // The first row is its own previous row: seeded from the line the
        // filter sees, the mean when the channels are averaged.
        if (filtering && !upValid) {
            if (average)
                up[0] = val[0];
            else
                for (int k = 0; k < nActive; ++k) up[order[k]] = val[order[k]];
            upValid = true;
        }
        if (average) {
            if (filtering) filterLine(filter, val[0].data(), up[0].data(), W);
            val[1] = val[0];
            val[2] = val[0];
            return;
        }
        if (filtering)
            for (int k = 0; k < nActive; ++k) filterLine(filter, val[order[k]].data(), up[order[k]].data(), W);
        if (replicate) {
            val[1] = val[0];
            val[2] = val[0];
        } else {
            for (int c = nActive; c < 3; ++c)
                if (std::find(order, order + nActive, c) == order + nActive)
                    std::fill(val[c].begin(), val[c].end(), 0);
        }
    }

    void packRow(int y, uint32_t *out)
    {
        const uint8_t *v0 = val[0].data(), *v1 = val[1].data(), *v2 = val[2].data();
        switch (mode) {
        case Mode::Packed: {
            const uint32_t *p0 = packer->part[0], *p1 = packer->part[1], *p2 = packer->part[2];
            for (int i = 0; i < W; ++i) out[i] = p0[v0[i]] | p1[v1[i]] | p2[v2[i]];
            break;
        }
        case Mode::OwnPalette: {
            const auto &px = cells.truePixels;
            const int n = static_cast<int>(px.size());
            for (int i = 0; i < W; ++i)
                out[i] = n ? static_cast<uint32_t>(px[static_cast<size_t>(std::min<int>(v0[i], n - 1))]) : 0;
            break;
        }
        case Mode::CellIndex: {
            const ColorCells &cc = cells;
            if (cc.grey) {
                for (int i = 0; i < W; ++i) out[i] = cellPixel(cc.contrib[0][v0[i]]);
            } else {
                for (int i = 0; i < W; ++i)
                    out[i] = cellPixel(cc.contrib[0][v0[i]] + cc.contrib[1][v1[i]] + cc.contrib[2][v2[i]]);
            }
            break;
        }
        case Mode::Dithered: ditherRow(y, out); break;
        }
    }

    void ditherRow(int y, uint32_t *out)
    {
        const ColorCells &cc = cells;
        const int nch = cc.grey ? 1 : 3;
        const int how = m->o.dither;
        const uint8_t *v[3] = {val[0].data(), val[1].data(), val[2].data()};
        for (int c = 0; c < nch; ++c) {
            int16_t *e = err[c].data();
            int aboveLeft = 0;  // the previous row's error left of the current column
            for (int i = 0; i < W; ++i) {
                const int left = i > 0 ? e[i - 1] : 0;
                const int above = e[i];
                const int aboveRight = i + 1 < W ? e[i + 1] : 0;
                int d;
                switch (how) {
                case 1: d = (y % 2 == 0) ? left : above; break;
                case 2: d = (left + above) / 2; break;
                case 3: d = ((left + above) * 20 + aboveLeft * 14) / 54; break;
                default: d = ((left + above) * 20 + (aboveLeft + aboveRight) * 14) / 68; break;
                }
                const int value = std::clamp(v[c][i] + d, 0, 255);
                if (c == 0)
                    out[i] = static_cast<uint32_t>(cc.contrib[0][value]);
                else
                    out[i] += cc.contrib[c][value];
                aboveLeft = above;
                e[i] = cc.scaledErr[c][value];
            }
        }
        for (int i = 0; i < W; ++i) out[i] = cellPixel(static_cast<int>(out[i]));
    }

    // One display row as pixel values.
    void row(int y, uint32_t *out)
    {
        const int srcRow = m->rowMap.index[static_cast<size_t>(y)];
        if (!img || srcRow < 0 || srcRow >= rows || nActive == 0) {
            std::fill(out, out + W, zeroPixel);
            prevSrcRow = -1;
            return;
        }
        if (srcRow == prevSrcRow && mode != Mode::Dithered) {
            memcpy(out, prevOut.data(), sizeof(uint32_t) * static_cast<size_t>(W));
            return;
        }
        if (fused) {
            fusedRow(srcRow, out);
        } else {
            if (srcRow != prevSrcRow) sampleRow(srcRow);
            packRow(y, out);
        }
        memcpy(prevOut.data(), out, sizeof(uint32_t) * static_cast<size_t>(W));
        prevSrcRow = srcRow;
    }
};

inline void putPixel(XImage *xi, char *rowp, int x, uint32_t p, bool swap)
{
    switch (xi->bits_per_pixel) {
    case 32: {
        uint32_t q = swap ? __builtin_bswap32(p) : p;
        memcpy(rowp + 4 * x, &q, 4);
        break;
    }
    case 16: {
        uint16_t q = static_cast<uint16_t>(p);
        if (swap) q = __builtin_bswap16(q);
        memcpy(rowp + 2 * x, &q, 2);
        break;
    }
    case 8: rowp[x] = static_cast<char>(p); break;
    case 24: {
        unsigned char *b = reinterpret_cast<unsigned char *>(rowp + 3 * x);
        if (xi->byte_order == LSBFirst) {
            b[0] = p & 0xFF, b[1] = (p >> 8) & 0xFF, b[2] = (p >> 16) & 0xFF;
        } else {
            b[0] = (p >> 16) & 0xFF, b[1] = (p >> 8) & 0xFF, b[2] = p & 0xFF;
        }
        break;
    }
    default: XPutPixel(xi, x, static_cast<int>((rowp - xi->data) / xi->bytes_per_line), p); break;
    }
}

// The XImage for strips of the current geometry, created when its size changes.
bool ensureXImage(GimgInstance *inst)
{
    const GimgMaster *m = inst->master;
    const bool rotated = m->o.rotate != 0;
    const int stripRows = std::min(kStripRows, std::max(1, m->renderH));
    int w, h;
    if (!rotated) {
        w = m->o.turbo ? m->renderW : std::min(m->renderW, kNarrowLimit);
        h = stripRows;
    } else {
        w = stripRows;
        h = m->o.turbo ? m->renderW : std::min(m->renderW, kNarrowLimit);
    }
    w = std::max(w, 1);
    h = std::max(h, 1);
    if (inst->ximage && inst->ximage->data && inst->ximageW == w && inst->ximageH == h) return true;
    if (inst->ximage) XDestroyImage(inst->ximage);  // frees the data too
    inst->ximage = XCreateImage(inst->display, inst->visual, static_cast<unsigned>(inst->depth), ZPixmap, 0, nullptr,
                                static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
    if (!inst->ximage) return false;
    // Xlib frees the buffer with free(): it must come from malloc.
    inst->ximage->data = static_cast<char *>(malloc(static_cast<size_t>(inst->ximage->bytes_per_line) * h));
    if (!inst->ximage->data) {
        XDestroyImage(inst->ximage);
        inst->ximage = nullptr;
        return false;
    }
    inst->ximageW = w;
    inst->ximageH = h;
    return true;
}

}  // namespace

bool makePixmap(GimgInstance *inst, Drawable drawable)
{
    GimgMaster *m = inst->master;
    if (inst->display == nullptr || m->pixW <= 0 || m->pixH <= 0) return false;
    if (m->pendingNotify) {
        // A change of the image arrived but its idle handler has not run:
        // the geometry must follow the image before any line is read.
        applyGeometry(m);
        buildTables(m, false);
    }
    const int bpp = inst->ximage ? inst->ximage->bits_per_pixel
                                 : (inst->depth <= 8 ? 8 : inst->depth <= 16 ? 16 : 32);
    inst->pixmap.display = inst->display;
    inst->pixmap.drawable = drawable;
    inst->pixmap.depth = inst->depth;
    if (inst->pixmap.width != m->pixW || inst->pixmap.height != m->pixH) {
        inst->pixmap.release();
        inst->pixmap.width = m->pixW;
        inst->pixmap.height = m->pixH;
    }
    if (!inst->gc) inst->gc = XCreateGC(inst->display, drawable, 0, nullptr);
    Pixmap pm = inst->pixmap.get();
    if (!pm || !ensureXImage(inst) || !inst->gc) {
        conEprintf("Error in %s: None pixmap...\n", makerName(m, bpp));
        return false;
    }
    ensureInstanceColours(inst, drawable);
    if (inst->depth < 9) ensureInstanceCells(inst);
    // The picture this pixmap will show (the steps above may have moved it).
    const uint32_t serial = m->pictureSerial;
    XImage *xi = inst->ximage;
    Mode mode = Mode::Packed;
    if (xi->bits_per_pixel == 8 && inst->depth <= 8) {
        if (inst->cells.truePalette && m->paletteInUse)
            mode = Mode::OwnPalette;
        else
            mode = m->o.dither ? Mode::Dithered : Mode::CellIndex;
    }
    RamImage *img = m->image;
    MaskPacker packer(inst->visual);
    Renderer r(m, inst->cells, img, mode);
    r.packer = &packer;
    r.prepareFused();
    if (mode == Mode::CellIndex || mode == Mode::Dithered) r.zeroPixel = r.cellPixel(0);

    const int W = m->renderW, H = m->renderH;
    const bool rotated = m->o.rotate != 0;
    const bool hostLsb = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    const bool swap = (xi->byte_order == LSBFirst) != hostLsb;
    std::vector<uint32_t> strip(static_cast<size_t>(W) * kStripRows);
    for (int y0 = 0; y0 < H; y0 += kStripRows) {
        const int h = std::min(kStripRows, H - y0);
        for (int j = 0; j < h; ++j) r.row(y0 + j, strip.data() + static_cast<size_t>(j) * W);
        if (!rotated) {
            for (int bx = 0; bx < W; bx += inst->ximageW) {
                const int bw = std::min(inst->ximageW, W - bx);
                for (int j = 0; j < h; ++j) {
                    const uint32_t *src = strip.data() + static_cast<size_t>(j) * W + bx;
                    char *rowp = xi->data + static_cast<size_t>(j) * xi->bytes_per_line;
                    if (xi->bits_per_pixel == 32 && !swap)
                        memcpy(rowp, src, 4 * static_cast<size_t>(bw));
                    else
                        for (int i = 0; i < bw; ++i) putPixel(xi, rowp, i, src[i], swap);
                }
                XPutImage(inst->display, pm, inst->gc, xi, 0, 0, bx, y0, static_cast<unsigned>(bw),
                          static_cast<unsigned>(h));
            }
        } else {
            // Render rows become pixmap columns, render columns pixmap rows.
            for (int bx = 0; bx < W; bx += inst->ximageH) {
                const int bw = std::min(inst->ximageH, W - bx);
                for (int i = 0; i < bw; ++i) {
                    const int x = m->o.rotate < 0 ? bx + i : bx + bw - 1 - i;
                    char *rowp = xi->data + static_cast<size_t>(i) * xi->bytes_per_line;
                    for (int j = 0; j < h; ++j) {
                        const int col = m->o.rotate < 0 ? h - 1 - j : j;
                        putPixel(xi, rowp, col, strip[static_cast<size_t>(j) * W + x], swap);
                    }
                }
                int dx, dy;
                if (m->o.rotate < 0) {
                    dx = H - y0 - h;
                    dy = bx;
                } else {
                    dx = y0;
                    dy = W - bx - bw;
                }
                XPutImage(inst->display, pm, inst->gc, xi, 0, 0, dx, dy, static_cast<unsigned>(h),
                          static_cast<unsigned>(bw));
            }
        }
    }
    inst->madeSerial = serial;
    buildMaskBitmap(inst, drawable);
    return true;
}

}  // namespace krel
