#include "display/enhance.h"

#include <algorithm>
#include <cmath>

#include "display/gimg.h"
#include "image/ramimage.h"

namespace krel {

double toneCurve(double x, double g, int mode)
{
    if (mode == 0) return x <= 0 ? 0.0 : std::pow(x + 1e-11, g);
    if (mode == 1) {
        if (x <= 0) return 0.0;
        if (x >= 1) return 1.0;
        if (x >= 0.5) return 1.0 - std::pow((1.0 - x) * 2.0 + 1e-11, g) * 0.5;
        return std::pow(2.0 * x + 1e-11, g) * 0.5;
    }
    return x;
}

void outputRange(double contrast, double bright, int *lo, int *hi)
{
    double c = std::clamp(contrast, -1.0, 1.0);
    if (std::isnan(c)) c = 1.0;
    int l, h;
    if (c <= 0) {
        h = static_cast<int>(std::trunc((1 + c) * 127.5));
        l = 255 - h;
    } else {
        l = static_cast<int>(std::trunc((1 - c) * 127.5));
        h = 255 - l;
    }
    double shift = std::trunc((bright - 0.5) * 512);
    if (!(shift > -1e6)) shift = -1e6;  // NaN and huge values still clamp below
    if (shift > 1e6) shift = 1e6;
    const int s = static_cast<int>(shift);
    *lo = std::clamp(l + s, 0, 255);
    *hi = std::clamp(h + s, 0, 255);
}

namespace {

// Histogram equalisation (HISTEQ) or stretch (HISTS) table over the bins in [L, H].
void histTable(const ChannelStats &st, int func, double L, double H, double g, int gmid, uint8_t eq[256])
{
    const int nb = static_cast<int>(st.bins.size());
    auto count = [&](int b) { return b >= 0 && b < nb ? st.bins[static_cast<size_t>(b)] : 0.0; };
    double T = 0;
    for (int b = 0; b < 256; ++b)
        if (b >= L && b <= H) T += count(b);
    if (T <= 0) {
        for (int b = 0; b < 256; ++b) eq[b] = static_cast<uint8_t>(b);
        return;
    }
    double F[256];
    double cum = 0;
    for (int b = 0; b < 256; ++b) {
        if (b < L) {
            F[b] = 0;
        } else if (b > H) {
            F[b] = 1;
        } else {
            cum += count(b);
            F[b] = cum / T;
        }
    }
    if (func == FUNC_HISTEQ) {
        const double F0 = count(static_cast<int>(std::trunc(L))) / T;
        for (int b = 0; b < 256; ++b) {
            double v = 0;
            if (F[b] > F0) {
                // F0 == 1 (all pixels in the first bin) would divide by zero.
                double x = F0 < 1 ? (F[b] - F0) / (1 - F0) : 1.0;
                v = std::trunc(toneCurve(x, g, gmid) * 255 + 0.5);
            }
            eq[b] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
        return;
    }
    int raw[256];
    for (int b = 0; b < 256; ++b)
        raw[b] = static_cast<int>(std::clamp(std::trunc(toneCurve(F[b], g, gmid) * 255 + 0.5), 0.0, 255.0));
    // Renumber as a running level counter: a level is spent only where the
    // value rises, so the used levels spread evenly over 0..255.
    int level = 0, prev = raw[0], maxLevel = 0;
    int lv[256];
    for (int b = 0; b < 256; ++b) {
        if (raw[b] > prev && raw[b] > level) ++level;
        prev = raw[b];
        lv[b] = level;
        maxLevel = std::max(maxLevel, level);
    }
    for (int b = 0; b < 256; ++b)
        eq[b] = static_cast<uint8_t>(std::clamp(std::trunc(lv[b] / (maxLevel + 0.0001) * 255 + 0.5), 0.0, 255.0));
}

}  // namespace

void buildEnhanceTable(EnhanceParams &p, const ChannelStats *stats, uint8_t out[256])
{
    double a = 0, b = 255;  // value range
    double g = p.gamma;
    uint8_t remapped[256];
    const uint8_t *remap = p.remap;
    if (p.func != FUNC_NONE && stats && stats->present && stats->stdDev != 0) {
        const ChannelStats &st = *stats;
        const int nb = static_cast<int>(st.bins.size());
        double L = p.low, H = p.high;
        const double m = st.mean, s = st.stdDev, k = p.k;
        if (p.range == RANGE_MEAN || (p.range == RANGE_DETAIL && nb <= 15)) {
            L = m - k * s;
            H = m + k * s;
        } else if (p.range == RANGE_DETAIL) {
            double total = 0;
            for (double c : st.bins) total += c;
            const double want = 0.005 * k;
            double cum = 0;
            L = 0;
            for (int i = 0; i < nb; ++i) {
                cum += st.bins[static_cast<size_t>(i)];
                if (total > 0 && cum / total >= want) {
                    L = i;
                    break;
                }
            }
            cum = 0;
            H = nb - 1;
            for (int i = nb - 1; i >= 0; --i) {
                cum += st.bins[static_cast<size_t>(i)];
                if (total > 0 && cum / total >= want) {
                    H = i;
                    break;
                }
            }
        }
        if (L < st.min) L = st.min;
        if (H > st.max) H = st.max;
        if (nb > 2) {
            if (p.func == FUNC_LINEAR) {
                a = L;
                b = H;
            } else if (p.func == FUNC_HISTEQ || p.func == FUNC_HISTS) {
                uint8_t eq[256];
                histTable(st, p.func, L, H, p.gamma, p.gmid, eq);
                for (int i = 0; i < 256; ++i) remapped[i] = eq[remap ? remap[i] : i];
                remap = remapped;
                g = 1.0;
            }
        } else if (nb == 0) {
            // Values without a histogram reach the table already scaled by
            // the channel's display range: the statistics set that range.
            p.low = L;
            p.high = H;
        }
    }
    const double lo = p.lo, hi = p.hi;
    const double outMin = std::min(lo, hi), outMax = std::max(lo, hi);
    for (int i = 0; i < 256; ++i) {
        int v = remap ? remap[i] : i;
        double vv = v >= b ? std::trunc(b) : (v < a ? std::trunc(a) : v);
        double o;
        if (b - a > 0) {
            double t = toneCurve((vv - a) / (b - a), g, p.gmid);
            o = (1 - t) * lo + (hi + 0.999) * t;
        } else {
            o = lo;
        }
        if (!(o >= outMin)) o = outMin;
        if (o > outMax) o = outMax;
        out[i] = static_cast<uint8_t>(o);
    }
}


// ---------------------------------------------------------------------------
// The tables of a gimg image's channels.

namespace {

// The statistics of a band as a channel sees them.
ChannelStats bandStats(const BandStats &bs)
{
    ChannelStats stats;
    if (bs.count > 0) {
        stats.present = true;
        stats.mean = bs.mean;
        stats.stdDev = bs.stdDev;
        stats.min = bs.min;
        stats.max = bs.max;
        if (bs.nbins > 0 && bs.bins) stats.bins.assign(bs.bins, bs.bins + bs.nbins);
    }
    return stats;
}

// Palette images: the histogram of one colour component of the indices.
ChannelStats componentStats(const BandStats &bs, const uint8_t (*palette)[3], int component)
{
    ChannelStats stats;
    stats.bins.assign(256, 0.0);
    double n = 0, sum = 0, sq = 0, mn = 255, mx = 0;
    for (int i = 0; i < bs.nbins && i < 256; ++i) {
        const double cnt = bs.bins[i];
        if (cnt <= 0) continue;
        const int v = palette[i][component];
        stats.bins[static_cast<size_t>(v)] += cnt;
        n += cnt;
        sum += cnt * v;
        sq += cnt * v * v;
        mn = std::min<double>(mn, v);
        mx = std::max<double>(mx, v);
    }
    if (n > 0) {
        stats.present = true;
        stats.mean = sum / n;
        stats.stdDev = std::sqrt(std::max(0.0, sq / n - stats.mean * stats.mean));
        stats.min = mn;
        stats.max = mx;
    }
    return stats;
}

}  // namespace

void buildTables(GimgMaster *m, bool force)
{
    outputRange(m->o.contrast, m->o.bright, &m->outLo, &m->outHi);
    RamImage *img = m->image;
    bool statsTried = false, statsOk = false;
    for (int c = 0; c < 3; ++c) {
        GimgChannel &ch = m->ch[c];
        TableKey key;
        key.valid = 1;
        key.func = m->o.func;
        key.range = m->o.range;
        key.gmid = m->o.gmid;
        key.lo = m->outLo;
        key.hi = m->outHi;
        key.band = img ? ch.band : -1;
        key.component = m->paletteInUse ? std::clamp(m->o.comb.band[c] - 1, 0, 2) : -1;
        key.std = m->o.std;
        key.gamma = m->o.gamma;
        key.low = m->o.low[c];
        key.high = m->o.high[c];
        key.dataSerial = m->dataSerial;
        if (!force && key == ch.key) continue;
        ch.key = key;
        ChannelStats stats;
        if (img && m->o.func != FUNC_NONE && ch.band >= 0 && ch.band < img->def.nbands) {
            if (!statsTried) {
                statsOk = computeBandStats(img, STATS_REUSE, 1, 1) == 0 && img->bandStats;
                statsTried = true;
            }
            if (statsOk) {
                const BandStats &bs = img->bandStats[ch.band];
                if (m->paletteInUse && bs.nbins > 0)
                    stats = componentStats(bs, m->palette, key.component);
                else
                    stats = bandStats(bs);
            }
        }
        EnhanceParams p;
        p.func = m->o.func;
        p.range = m->o.range;
        p.k = m->o.std;
        p.gamma = m->o.gamma;
        p.gmid = m->o.gmid;
        p.lo = m->outLo;
        p.hi = m->outHi;
        p.low = m->o.low[c];
        p.high = m->o.high[c];
        p.remap = ch.remap;
        buildEnhanceTable(p, stats.present ? &stats : nullptr, ch.table);
        ch.low = p.low;
        ch.high = p.high;
        invalidatePixmap(m);
    }
}

}  // namespace krel
