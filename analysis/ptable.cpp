#include "analysis/ptable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/module_util.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr char kPTableId[8] = {'P', 'T', 'A', 'B', 'L', 'E', 'H', 'D'};
constexpr size_t kRecordHead = 2068;  // capacity .. nbands, without the bands
constexpr size_t kFileHead = 8 + 4 + kRecordHead;  // 2080, then 4 per band

double seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

uint64_t keyOf(const uint8_t *t, int n)
{
    uint64_t k = 0;
    for (int b = 0; b < n; ++b) k = k << 8 | t[b];
    return k;
}

void putWord(std::vector<uint8_t> &out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t getWord(const uint8_t *p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int32_t ptableCapacity(int nbands) { return 8388608 / (nbands + 2) - 2; }

void PTable::rebuildKeys()
{
    keys_.clear();
    if (nbands > 8) return;
    keys_.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) keys_[i] = keyOf(tuple(i), nbands);
}

void PTable::rebuildIndex()
{
    std::fill(std::begin(firstIndex), std::end(firstIndex), -1);
    std::fill(std::begin(lastIndex), std::end(lastIndex), -2);
    for (int i = 0; i < count; ++i) {
        const uint8_t b = tuple(i)[0];
        if (firstIndex[b] < 0) firstIndex[b] = i;
        lastIndex[b] = i;
    }
    rebuildKeys();
}

int PTable::orderFault() const
{
    for (int i = 1; i < count; ++i)
        if (memcmp(tuple(i - 1), tuple(i), static_cast<size_t>(nbands)) >= 0) return i;
    return -1;
}

int PTable::lookup(const uint8_t *t) const
{
    if (count <= 0 || nbands <= 0) return -1;
    int lo = firstIndex[t[0]], hi = lastIndex[t[0]];
    if (lo < 0 || hi < lo) return -1;
    if (nbands <= 8 && keys_.size() == static_cast<size_t>(count)) {
        const uint64_t k = keyOf(t, nbands);
        const uint64_t *begin = keys_.data() + lo, *end = keys_.data() + hi + 1;
        const uint64_t *at = std::lower_bound(begin, end, k);
        return at != end && *at == k ? static_cast<int>(at - keys_.data()) : -1;
    }
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const int c = memcmp(tuple(mid), t, static_cast<size_t>(nbands));
        if (c == 0) return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return -1;
}

// The builder: reads chunks of rows as tuples, ranks, sorts, merges and counts.
class PTableBuilder {
public:
    PTableBuilder(RamImage *img, const std::vector<int32_t> &bands, int first, int last)
        : img_(img), bands_(bands), first_(first), last_(last)
    {
    }

    PTablePtr run(const char *meterName, bool *cancelled)
    {
        const int n = static_cast<int>(bands_.size());
        const int cols = img_->def.columns;
        // At least one row a chunk: wider images must still advance.
        chunkRows_ = static_cast<int>(std::max<long>(1, 1048576L / (static_cast<long>(cols) * n)));
        PTablePtr t;
        try {
            t.reset(new PTable);
            t->nbands = n;
            t->bands = bands_;
            t->capacity = ptableCapacity(n);
            t->rebuildIndex();
            chunk_.resize(static_cast<size_t>(chunkRows_) * cols * n);
            line_.resize(static_cast<size_t>(cols));
        } catch (const std::bad_alloc &) {
            conEprintf("gptable error in gmemAlloc\n");
            return nullptr;
        }
        const long rows = last_ - first_ + 1;
        const long passes = 2 * rows;
        double ioTime = 0, rankTime = 0, mergeTime = 0;
        long total = 0, added = 0;
        auto meter = [&](long done) { meterSet(meterName, static_cast<float>(done) / static_cast<float>(passes)); };

        for (int r = first_; r <= last_; r += chunkRows_) {
            if (checkRimageStatus() == STATUS_ABORT) return cancel(cancelled);
            const int nrows = std::min(chunkRows_, last_ - r + 1);
            double t0 = seconds();
            const size_t pixels = readChunk(r, nrows);
            double t1 = seconds();
            // Rank: the tuples not yet in the table.
            fresh_.clear();
            const uint8_t *prev = nullptr;
            for (size_t p = 0; p < pixels; ++p) {
                const uint8_t *tp = chunk_.data() + p * n;
                if (prev && memcmp(prev, tp, static_cast<size_t>(n)) == 0) continue;
                prev = tp;
                if (t->lookup(tp) < 0) fresh_.push_back(static_cast<uint32_t>(p));
            }
            double t2 = seconds();
            const long news = static_cast<long>(fresh_.size());
            long unique = 0, taken = 0;
            if (!merge(*t, &unique, &taken)) {
                conEprintf("gptable error in gmemAlloc\n");
                return nullptr;
            }
            double t3 = seconds();
            total += static_cast<long>(pixels);
            added += taken;
            ioTime += t1 - t0;
            rankTime += t2 - t1;
            mergeTime += t3 - t2;
            conPrintf("T:%7ld IN:%6ld NEW:%6ld U:%6ld Rd:%5.2f Rank:%5.2f Merge:%5.2f\n", static_cast<long>(t->count),
                      static_cast<long>(pixels), news, unique, t1 - t0, t2 - t1, t3 - t2);
            meter(r + nrows - first_);
        }
        const int fault = t->orderFault();
        if (fault >= 0) conPrintf("Wrong order at %8ld\n", static_cast<long>(fault));
        conPrintf("\nN = %ld U = %ld Ratio = %6.3f\n", total, added,
                  total > 0 ? static_cast<double>(added) / static_cast<double>(total) : 0.0);
        conPrintf("ioTime: %10.3f  rankTime: %10.3f  mergeTime: %10.3f\n", ioTime, rankTime, mergeTime);

        conPrintf("\nPixel counting...\n");
        double c0 = seconds();
        try {
            t->counts.assign(static_cast<size_t>(t->count), 0);
        } catch (const std::bad_alloc &) {
            conEprintf("gptable error in gmemAlloc\n");
            return nullptr;
        }
        long misses = 0;
        for (int r = first_; r <= last_; r += chunkRows_) {
            if (checkRimageStatus() == STATUS_ABORT) return cancel(cancelled);
            const int nrows = std::min(chunkRows_, last_ - r + 1);
            const size_t pixels = readChunk(r, nrows);
            const uint8_t *prev = nullptr;
            int prevIndex = -1;
            for (size_t p = 0; p < pixels; ++p) {
                const uint8_t *tp = chunk_.data() + p * n;
                if (!prev || memcmp(prev, tp, static_cast<size_t>(n)) != 0) prevIndex = t->lookup(tp);
                prev = tp;
                if (prevIndex >= 0)
                    ++t->counts[prevIndex];
                else
                    ++misses;
            }
            meter(rows + r + nrows - first_);
        }
        conPrintf("Time used for counting: %7.3f Miss counting: %ld\n", seconds() - c0, misses);
        meterSet(meterName, 1.0f);
        return t;
    }

private:
    PTablePtr cancel(bool *cancelled)
    {
        if (cancelled) *cancelled = true;
        return nullptr;
    }

    // Reads rows r..r+nrows-1 into chunk_ as pixel-interleaved tuples.
    size_t readChunk(int r, int nrows)
    {
        const int n = static_cast<int>(bands_.size()), cols = img_->def.columns;
        for (int i = 0; i < nrows; ++i)
            for (int b = 0; b < n; ++b) {
                readLineBytes(img_, r + i, bands_[b], 0, cols, 1, line_.data());
                uint8_t *dst = chunk_.data() + static_cast<size_t>(i) * cols * n + b;
                for (int c = 0; c < cols; ++c) dst[static_cast<size_t>(c) * n] = line_[c];
            }
        return static_cast<size_t>(nrows) * cols;
    }

    // Sorts the fresh tuples, drops duplicates and merges them into the table
    // from the end backwards, as many as there is room for (the lowest first).
    bool merge(PTable &t, long *unique, long *taken)
    {
        const int n = t.nbands;
        const uint8_t *base = chunk_.data();
        auto less = [&](uint32_t a, uint32_t b) { return memcmp(base + size_t(a) * n, base + size_t(b) * n, n) < 0; };
        auto same = [&](uint32_t a, uint32_t b) { return memcmp(base + size_t(a) * n, base + size_t(b) * n, n) == 0; };
        if (n <= 8) {
            // Sorting numbers is much faster than sorting byte strings.
            keyed_.resize(fresh_.size());
            for (size_t i = 0; i < fresh_.size(); ++i) keyed_[i] = {keyOf(base + size_t(fresh_[i]) * n, n), fresh_[i]};
            std::sort(keyed_.begin(), keyed_.end());
            size_t u = 0;
            for (size_t i = 0; i < keyed_.size(); ++i)
                if (u == 0 || keyed_[i].first != keyed_[u - 1].first) keyed_[u++] = keyed_[i];
            keyed_.resize(u);
            for (size_t i = 0; i < u; ++i) fresh_[i] = keyed_[i].second;
            fresh_.resize(u);
        } else {
            std::sort(fresh_.begin(), fresh_.end(), less);
            fresh_.erase(std::unique(fresh_.begin(), fresh_.end(), same), fresh_.end());
        }
        *unique = static_cast<long>(fresh_.size());
        const size_t room = static_cast<size_t>(t.capacity - t.count);
        const size_t take = std::min(room, fresh_.size());
        *taken = static_cast<long>(take);
        if (take == 0) return true;
        const size_t old = static_cast<size_t>(t.count), total = old + take;
        try {
            t.tuples.resize(total * n);
        } catch (const std::bad_alloc &) {
            return false;
        }
        // Merge backwards: i over the old tuples, j over the taken new ones.
        long i = static_cast<long>(old) - 1, j = static_cast<long>(take) - 1;
        for (long k = static_cast<long>(total) - 1; k >= 0 && j >= 0; --k) {
            const uint8_t *nw = base + size_t(fresh_[j]) * n;
            if (i >= 0 && memcmp(t.tuples.data() + size_t(i) * n, nw, n) > 0) {
                memmove(t.tuples.data() + size_t(k) * n, t.tuples.data() + size_t(i) * n, n);
                --i;
            } else {
                memcpy(t.tuples.data() + size_t(k) * n, nw, n);
                --j;
            }
        }
        t.count = static_cast<int32_t>(total);
        t.rebuildIndex();
        return true;
    }

    RamImage *img_;
    std::vector<int32_t> bands_;
    int first_, last_, chunkRows_ = 1;
    std::vector<uint8_t> chunk_, line_;
    std::vector<uint32_t> fresh_;
    std::vector<std::pair<uint64_t, uint32_t>> keyed_;
};

PTablePtr buildPTable(RamImage *img, const std::vector<int32_t> &bands, int firstRow, int lastRow,
                      const char *meterName, bool *cancelled)
{
    if (cancelled) *cancelled = false;
    if (!img || bands.empty() || firstRow < 0 || lastRow < firstRow) return nullptr;
    PTableBuilder builder(img, bands, firstRow, lastRow);
    try {
        return builder.run(meterName, cancelled);
    } catch (const std::bad_alloc &) {
        conEprintf("gptable error in gmemAlloc\n");
        return nullptr;
    }
}

PTablePtr makePTable(RamImage *img, const std::vector<int32_t> &bands)
{
    return buildPTable(img, bands, 0, img->def.rows - 1, "ptable", nullptr);
}

std::vector<uint8_t> ptableFileBytes(const PTable &t)
{
    const size_t n = static_cast<size_t>(t.nbands), count = static_cast<size_t>(t.count);
    const size_t offset = kFileHead + 4 * n;
    std::vector<uint8_t> out(offset + count * n + count * 2, 0);
    memcpy(out.data(), kPTableId, 8);
    putWord(out, 8, static_cast<uint32_t>(offset));
    putWord(out, 12, static_cast<uint32_t>(t.count));  // the capacity field holds the count
    putWord(out, 16, static_cast<uint32_t>(t.count));
    for (int i = 0; i < 256; ++i) {
        putWord(out, 20 + 4 * i, static_cast<uint32_t>(t.firstIndex[i]));
        putWord(out, 1044 + 4 * i, static_cast<uint32_t>(t.lastIndex[i]));
    }
    // 2068..2075: the two address fields, zero.
    putWord(out, 2076, static_cast<uint32_t>(t.nbands));
    for (size_t b = 0; b < n; ++b) putWord(out, kFileHead + 4 * b, static_cast<uint32_t>(t.bands[b]));
    if (count) memcpy(out.data() + offset, t.tuples.data(), count * n);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t c = std::min<uint32_t>(t.counts.size() > i ? t.counts[i] : 0, 65535);
        out[offset + count * n + 2 * i] = static_cast<uint8_t>(c);
        out[offset + count * n + 2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
    return out;
}

PTablePtr parsePTable(const uint8_t *data, size_t size, std::string *why)
{
    auto refuse = [&](const char *what) {
        if (why) *why = what;
        return PTablePtr();
    };
    if (size < kFileHead + 4) return refuse("short");
    if (memcmp(data, kPTableId, 8) != 0) return refuse("id");
    const int32_t offset = getWord(data + 8), capacity = getWord(data + 12), count = getWord(data + 16);
    const int32_t nbands = getWord(data + 2076);
    // A tuple is at most 8388606 bytes under the capacity rule.
    if (nbands < 1 || nbands > 4096) return refuse("bands");
    if (offset != static_cast<int32_t>(kFileHead + 4 * static_cast<size_t>(nbands))) return refuse("offset");
    if (count < 0 || count > ptableCapacity(nbands) || capacity != count) return refuse("count");
    const size_t n = static_cast<size_t>(nbands), c = static_cast<size_t>(count);
    if (size != static_cast<size_t>(offset) + c * n + 2 * c) return refuse("size");
    PTablePtr t;
    try {
        t.reset(new PTable);
        t->nbands = nbands;
        t->count = count;
        t->capacity = ptableCapacity(nbands);
        t->bands.resize(n);
        for (size_t b = 0; b < n; ++b) {
            t->bands[b] = getWord(data + kFileHead + 4 * b);
            if (t->bands[b] < 0) return refuse("bands");
        }
        t->tuples.assign(data + offset, data + offset + c * n);
        t->counts.resize(c);
        const uint8_t *cp = data + offset + c * n;
        for (size_t i = 0; i < c; ++i) t->counts[i] = static_cast<uint32_t>(cp[2 * i] | cp[2 * i + 1] << 8);
    } catch (const std::bad_alloc &) {
        conEprintf("Error of malloc in getPTable.\n");
        return refuse("memory");
    }
    if (t->orderFault() >= 0) return refuse("order");
    t->rebuildIndex();
    for (int i = 0; i < 256; ++i)
        if (getWord(data + 20 + 4 * i) != t->firstIndex[i] || getWord(data + 1044 + 4 * i) != t->lastIndex[i])
            return refuse("index");
    return t;
}

PTablePtr getPTable(const char *file)
{
    if (platform::isSpecialFile(file)) {
        conEprintf("Error in open table:%s\n", file);
        return nullptr;
    }
    platform::FileDesc fd = platform::openFile(file, platform::OpenMode::Read);
    if (!fd) {
        conEprintf("Error in open table:%s\n", file);
        return nullptr;
    }
    const int64_t size = platform::fileSize(fd.get());
    uint8_t head[kFileHead + 4] = {};
    if (size < static_cast<int64_t>(sizeof head) ||
        platform::readAt(fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) {
        conEprintf("Error in getPTable: %s is not a whole pixel table.\n", file);
        return nullptr;
    }
    if (memcmp(head, kPTableId, 8) != 0) {
        char id[9] = {};
        for (int i = 0; i < 8; ++i) id[i] = head[i] >= 32 && head[i] < 127 ? static_cast<char>(head[i]) : '?';
        conEprintf("Wrong PTABLE file ID %s.\n", id);
        return nullptr;
    }
    // The largest table a file can hold: the capacity rule bounds it.
    if (size > 64L * 1024 * 1024) {
        conEprintf("Error in getPTable: %s is not a whole pixel table.\n", file);
        return nullptr;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc &) {
        conEprintf("Error in createPTable...\n");
        return nullptr;
    }
    if (platform::readAt(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        conEprintf("Error in getPTable: %s is not a whole pixel table.\n", file);
        return nullptr;
    }
    std::string why;
    PTablePtr t = parsePTable(bytes.data(), bytes.size(), &why);
    if (!t && why != "memory") conEprintf("Error in getPTable: %s is not a consistent pixel table (%s).\n", file, why.c_str());
    return t;
}

bool savePTable(const char *file, const PTable &table)
{
    std::vector<uint8_t> bytes;
    try {
        bytes = ptableFileBytes(table);
    } catch (const std::bad_alloc &) {
        conEprintf("gptable error in gmemAlloc\n");
        return false;
    }
    auto write = [&](int fd) {
        return platform::writeAt(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()) &&
                       ftruncate(fd, static_cast<off_t>(bytes.size())) == 0
                   ? 0
                   : -1;
    };
    platform::FileDesc fd = platform::openFile(file, platform::OpenMode::ReadWrite);
    int rc;
    if (fd) {
        rc = platform::replaceWholeFile(fd.get(), write);
    } else {
        fd = platform::openFile(file, platform::OpenMode::CreateTruncate);
        if (!fd) {
            conEprintf("Error in open: %s\n", file);
            return false;
        }
        rc = write(fd.get());
    }
    if (rc < 0 || fd.close() != 0) {
        conEprintf("%s: %s\n", file, strerror(errno));
        return false;
    }
    return true;
}

}  // namespace krel
