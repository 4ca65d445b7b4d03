#include "analysis/feature.h"

#include "image/formats/formats.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>

#include "analysis/buffer.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "platform/files.h"

namespace krel {

const char kStatFeatureId[8] = {'S', 'T', 'A', 'T', 'F', 'T', 'U', 'R'};
const char kEigenFeatureId[8] = {'E', 'I', 'G', 'E', 'N', 'I', 'D', '\0'};
const char kIsoFeatureId[8] = {'I', 'S', 'O', 'F', 'E', 'A', 'T', 'U'};

namespace {

constexpr int kOffTotal = 8;
constexpr int kOffItemOffset = 12;
constexpr int kOffItemSize = 16;
constexpr int kOffCount = 20;
constexpr int kOffParams = 24;

// The head is read and written through memcpy: blocks come from the heap,
// but a parameter word or an item field need not be aligned for its type.
int32_t load32(const unsigned char *p)
{
    int32_t v;
    memcpy(&v, p, 4);
    return v;
}
void store32(unsigned char *p, int32_t v)
{
    memcpy(p, &v, 4);
}

unsigned char *bytes(FeatureBlock *b)
{
    return reinterpret_cast<unsigned char *>(b);
}
const unsigned char *bytes(const FeatureBlock *b)
{
    return reinterpret_cast<const unsigned char *>(b);
}

int32_t field(const FeatureBlock *b, int offset)
{
    return load32(bytes(b) + offset);
}
void setField(FeatureBlock *b, int offset, int32_t v)
{
    store32(bytes(b) + offset, v);
}

int kindOf(const unsigned char *id)
{
    if (memcmp(id, kStatFeatureId, 8) == 0) return FEATURE_STAT;
    if (memcmp(id, kEigenFeatureId, 8) == 0) return FEATURE_EIGEN;
    if (memcmp(id, kIsoFeatureId, 8) == 0) return FEATURE_ISO;
    return FEATURE_UNKNOWN;
}

// Item size and private size that a kind has for P parameters; -1 for a kind
// without fixed sizes.
int64_t kindItemSize(int kind, int64_t p)
{
    switch (kind) {
        case FEATURE_STAT:
            return 72 + 2 * p * (p + 3);
        case FEATURE_EIGEN:
            return eigenItemSize(p);
        case FEATURE_ISO:
            return isoItemSize(p);
        default:
            return -1;
    }
}
int64_t kindPrivateSize(int kind, int64_t p)
{
    switch (kind) {
        case FEATURE_STAT:
            return kStatPrivateSize;
        case FEATURE_EIGEN:
            return eigenPrivateSize(p);
        case FEATURE_ISO:
            return kIsoPrivateSize;
        default:
            return -1;
    }
}

// Largest band count whose items and triangles keep every size and index in
// 32 bits with room to spare.
constexpr int64_t kMaxParams = 16384;

// Checks a head against the invariants and the kind's sizes. `fileBytes` is
// the length of the file the head came from.
bool headIsSound(const unsigned char *head, const char *file)
{
    int64_t total = load32(head + kOffTotal), offset = load32(head + kOffItemOffset);
    int64_t itemSize = load32(head + kOffItemSize), count = load32(head + kOffCount);
    int64_t p = load32(head + kOffParams);
    int kind = kindOf(head);
    bool sound = p >= 0 && p <= kMaxParams && count >= 0 && itemSize >= 0 && offset % 4 == 0 &&
                 offset >= kFeatureHeadSize + 4 * p && total == offset + count * itemSize;
    if (sound && kind != FEATURE_UNKNOWN) {
        int64_t privateSize = offset - kFeatureHeadSize - 4 * p;
        sound = itemSize == kindItemSize(kind, p) && (privateSize == 0 || privateSize == kindPrivateSize(kind, p));
    }
    if (!sound)
        conEprintf(
            "Error in reading features: bad head in %s (size %ld, item offset %ld, item size %ld, "
            "count %ld, parameters %ld).\n",
            file, static_cast<long>(total), static_cast<long>(offset), static_cast<long>(itemSize),
            static_cast<long>(count), static_cast<long>(p));
    return sound;
}

}  // namespace

unsigned char *featureBytes(FeatureBlock *block)
{
    return bytes(block);
}
const unsigned char *featureBytes(const FeatureBlock *block)
{
    return bytes(block);
}

void freeFeature(FeatureBlock *block)
{
    gmemFree(block);
}

FeatureBlock *newFeature(const char *id, const int32_t *params, int nParams, int itemSize, int itemCount,
                         const void *priv, int privateSize)
{
    int64_t offset = kFeatureHeadSize + 4 * static_cast<int64_t>(nParams) + privateSize;
    int64_t total = offset + static_cast<int64_t>(itemCount) * itemSize;
    void *mem = nullptr;
    if (nParams >= 0 && itemSize >= 0 && itemCount >= 0 && privateSize >= 0 && total <= INT32_MAX)
        mem = gmemAlloc(static_cast<uint32_t>(total));
    if (mem == nullptr) {
        conEprintf("Error in malloc of newFeature.");
        return nullptr;
    }
    memset(mem, 0, static_cast<size_t>(total));
    auto *block = static_cast<FeatureBlock *>(mem);
    unsigned char *b = bytes(block);
    memcpy(b, id, 8);
    setField(block, kOffTotal, static_cast<int32_t>(total));
    setField(block, kOffItemOffset, static_cast<int32_t>(offset));
    setField(block, kOffItemSize, itemSize);
    setField(block, kOffCount, itemCount);
    setField(block, kOffParams, nParams);
    if (params && nParams > 0) memcpy(b + kFeatureHeadSize, params, 4 * static_cast<size_t>(nParams));
    if (priv && privateSize > 0) memcpy(b + kFeatureHeadSize + 4 * nParams, priv, static_cast<size_t>(privateSize));
    return block;
}

FeatureBlock *getFeature(const char *file, const char *expectedId)
{
    platform::FileDesc fd = platform::openFile(file, platform::OpenMode::Read);
    if (!fd) return nullptr;
    unsigned char head[32] = {};
    ssize_t got = platform::readAt(fd.get(), head, sizeof head, 0);
    if (got < 8) return nullptr;
    if (expectedId ? memcmp(head, expectedId, 8) != 0 : kindOf(head) == FEATURE_UNKNOWN) return nullptr;
    if (got < kFeatureHeadSize) {
        conEprintf("Error in reading features. count %ld size %ld\n", static_cast<long>(got),
                   static_cast<long>(kFeatureHeadSize));
        return nullptr;
    }
    if (!headIsSound(head, file)) return nullptr;
    // The length is checked before anything is allocated, so that a head
    // naming a huge size costs nothing.
    long total = load32(head + kOffTotal);
    int64_t length = platform::fileSize(fd.get());
    if (length < total) {
        conEprintf("Error in reading features. count %ld size %ld\n", static_cast<long>(std::max<int64_t>(length, 0)),
                   total);
        return nullptr;
    }
    if (length > total) {
        conEprintf("Error in reading features: %s holds %lld bytes, its head says %ld.\n", file,
                   static_cast<long long>(length), total);
        return nullptr;
    }
    FeaturePtr block(static_cast<FeatureBlock *>(gmemAlloc(static_cast<uint32_t>(total))));
    if (!block) {
        conEprintf("Error of malloc in getFeature");
        return nullptr;
    }
    long count = getFileData(fd.get(), bytes(block.get()), total, 0, 0);
    if (count < total) {
        conEprintf("Error in reading features. count %ld size %ld\n", count, total);
        return nullptr;
    }
    // The head was read twice; a file changed in between is not trusted.
    if (memcmp(bytes(block.get()), head, kFeatureHeadSize) != 0) {
        conEprintf("Error in reading features: %s changed while being read.\n", file);
        return nullptr;
    }
    if (kindOf(head) == FEATURE_STAT) {
        int count = field(block.get(), kOffCount);
        for (int i = 0; i < count; ++i) {
            if (statItem(block.get(), i).nPixels() < 0) {
                conEprintf("Error in reading features: stat item %d of %s has a negative pixel count.\n", i, file);
                return nullptr;
            }
        }
    }
    return block.release();
}

int saveFeature(const char *file, const FeatureBlock *block)
{
    const long total = field(block, kOffTotal);
    // A file that could not be written whole is a failure, not a success.
    auto write = [&](int fd) {
        return putFileData(fd, bytes(block), total, 0, 0) == total && ftruncate(fd, total) == 0 ? 0 : -1;
    };
    // An existing file (statistics gathered over many runs) is replaced only
    // by a complete new one: a full disk must not cost the old contents.
    platform::FileDesc fd = platform::openFile(file, platform::OpenMode::ReadWrite);
    if (fd) {
        if (platform::replaceWholeFile(fd.get(), write) < 0) return 0;
    } else {
        fd = platform::openFile(file, platform::OpenMode::CreateTruncate);
        if (!fd) {
            conEprintf("%s: %s\n", file, strerror(errno));
            return 0;
        }
        if (write(fd.get()) < 0) return 0;
    }
    if (fd.close() != 0) {
        conEprintf("%s: %s\n", file, strerror(errno));
        return 0;
    }
    return 1;
}

namespace {

// Resizes the block to hold `count` items, keeping the head consistent. A
// shrink whose reallocation fails keeps the larger block: the head then says
// less than the block holds, which is harmless.
bool resizeItems(FeaturePtr &block, int count, const char *message)
{
    FeatureBlock *b = block.get();
    int64_t offset = field(b, kOffItemOffset), itemSize = field(b, kOffItemSize);
    int oldCount = field(b, kOffCount);
    int64_t total = offset + static_cast<int64_t>(count) * itemSize;
    void *moved = nullptr;
    if (total <= INT32_MAX) moved = gmemRealloc(b, static_cast<uint32_t>(total));
    if (moved == nullptr && count > oldCount) {
        conEprintf("%s", message);
        return false;
    }
    if (moved) {
        (void)block.release();
        block.reset(static_cast<FeatureBlock *>(moved));
        b = block.get();
    }
    if (count > oldCount)
        memset(bytes(b) + offset + oldCount * itemSize, 0, static_cast<size_t>((count - oldCount) * itemSize));
    setField(b, kOffCount, count);
    setField(b, kOffTotal, static_cast<int32_t>(total));
    return true;
}

}  // namespace

bool addFeature(FeaturePtr &block, const void *item)
{
    int count = field(block.get(), kOffCount);
    if (count == INT32_MAX) {
        conEprintf("Error of realloc in addFeature.");
        return false;
    }
    if (!resizeItems(block, count + 1, "Error of realloc in addFeature.")) return false;
    if (item) memcpy(getFeatureItem(block.get(), count), item, static_cast<size_t>(field(block.get(), kOffItemSize)));
    return true;
}

bool cutFeature(FeaturePtr &block, int n)
{
    n = std::max(n, 0);
    if (n == field(block.get(), kOffCount)) return true;
    return resizeItems(block, n, "Error of realloc in cutFeature.");
}

bool delFeatureItem(FeaturePtr &block, int i)
{
    FeatureBlock *b = block.get();
    int count = field(b, kOffCount);
    if (i < 0 || i >= count) return true;
    size_t itemSize = static_cast<size_t>(field(b, kOffItemSize));
    unsigned char *items = bytes(b) + field(b, kOffItemOffset);
    memmove(items + i * itemSize, items + (i + 1) * itemSize, (count - i - 1) * itemSize);
    return resizeItems(block, count - 1, "Error of realloc in delFeatureItem.");
}

void *getFeatureItem(FeatureBlock *block, int i)
{
    if (i < 0 || i >= field(block, kOffCount)) return nullptr;
    return bytes(block) + field(block, kOffItemOffset) + static_cast<size_t>(i) * field(block, kOffItemSize);
}

const void *getFeatureItem(const FeatureBlock *block, int i)
{
    return getFeatureItem(const_cast<FeatureBlock *>(block), i);
}

int getFeatureInfo(const FeatureBlock *block, int what)
{
    switch (what) {
        case FINFO_SIZE:
            return field(block, kOffTotal);
        case FINFO_COUNT:
            return field(block, kOffCount);
        case FINFO_ITEM_SIZE:
            return field(block, kOffItemSize);
        case FINFO_ITEM_OFFSET:
            return field(block, kOffItemOffset);
        case FINFO_PARAMS:
            return field(block, kOffParams);
        case FINFO_KIND: {
            int kind = kindOf(bytes(block));
            if (kind == FEATURE_UNKNOWN) conEprintf("Unknown feature ID.\n");
            return kind;
        }
        default:
            conEprintf("Undefine feature info.\n");
            return 0;
    }
}

int getFeatureParam(const FeatureBlock *block, int i)
{
    if (i < 0 || i >= field(block, kOffParams)) return -1;
    return load32(bytes(block) + kFeatureHeadSize + 4 * i);
}

int getFeaturePrivateSize(const FeatureBlock *block)
{
    return field(block, kOffItemOffset) - kFeatureHeadSize - 4 * field(block, kOffParams);
}

void *getFeaturePrivate(FeatureBlock *block)
{
    if (getFeaturePrivateSize(block) <= 0) return nullptr;
    return bytes(block) + kFeatureHeadSize + 4 * field(block, kOffParams);
}

const void *getFeaturePrivate(const FeatureBlock *block)
{
    return getFeaturePrivate(const_cast<FeatureBlock *>(block));
}

int statItemSize(int n)
{
    return 72 + 2 * n * (n + 3);
}

int32_t StatItem::nPixels() const
{
    return load32(base + 64);
}
void StatItem::setPixels(int32_t v) const
{
    store32(base + 64, v);
}
int32_t StatItem::id() const
{
    return load32(base + 68);
}
void StatItem::setId(int32_t v) const
{
    store32(base + 68, v);
}

void StatItem::setName(const char *text) const
{
    size_t len = text ? strnlen(text, kStatNameSize - 1) : 0;
    memset(base, 0, kStatNameSize);
    if (len) memcpy(base, text, len);
}

void StatItem::setNoteNow() const
{
    time_t now = time(nullptr);
    struct tm local;
    char text[64] = {};
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) text[0] = '\0';
    memset(note(), 0, kStatNoteSize);
    memcpy(note(), text, strnlen(text, kStatNoteSize - 1));
}

StatItem statItem(FeatureBlock *block, int i)
{
    StatItem item;
    int n = field(block, kOffParams);
    if (field(block, kOffItemSize) != statItemSize(n)) return item;
    item.base = static_cast<unsigned char *>(getFeatureItem(block, i));
    item.n = item.base ? n : 0;
    return item;
}

int findStat(const FeatureBlock *block, const char *name)
{
    if (name == nullptr) return -1;
    int count = field(block, kOffCount);
    for (int i = 0; i < count; ++i) {
        // An item name from a file need not be terminated: compare a bounded copy.
        const char *itemName = static_cast<const char *>(getFeatureItem(block, i));
        char copy[kStatNameSize + 1] = {};
        memcpy(copy, itemName, strnlen(itemName, kStatNameSize));
        if (caseCompare(copy, name) == 0) return i;
    }
    return -1;
}

double dgb(double *a, int n)
{
    double det = 1.0;
    GmemArray<char> used(static_cast<size_t>(std::max(n, 1)));
    if (!used) {
        conEprintf("Error in gmemAlloc.\n");
        return 0.0;
    }
    for (int step = 0; step < n; ++step) {
        int k = -1;
        double best = -1.0;
        for (int r = 0; r < n; ++r) {
            if (used[r]) continue;
            double v = std::fabs(a[r * n + r]);
            if (v >= best) {  // on equal values the later row wins
                best = v;
                k = r;
            }
        }
        if (!(best > 1e-38)) {
            conEprintf("Error in dgb - zero value of a main element: %d\n", n);
            return 0.0;
        }
        used[k] = true;
        double p = a[k * n + k];
        double *rowK = a + k * n;
        for (int j = 0; j < n; ++j) rowK[j] /= p;
        for (int i = 0; i < n; ++i) {
            if (i == k) continue;
            double *rowI = a + i * n;
            double f = rowI[k];
            for (int j = 0; j < n; ++j)
                if (j != k) rowI[j] -= f * rowK[j];
        }
        for (int i = 0; i < n; ++i)
            if (i != k) a[i * n + k] /= -p;
        rowK[k] = 1.0 / p;
        det *= p;
    }
    return det;
}

double invertStat(FeatureBlock *block, int i)
{
    StatItem item = statItem(block, i);
    if (!item) return 0.0;
    int n = item.n;
    if (n > item.nPixels()) {
        conEprintf("Not enough samples.\n");
        return 0.0;
    }
    GmemArray<double> full(static_cast<size_t>(n) * n + 1);
    if (!full) {
        conEprintf("Error in gmemAlloc.\n");
        return 0.0;
    }
    const float *cov = item.cov();
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) full[r * n + c] = cov[triIndex(r, c)];
    double det = dgb(full.get(), n);
    if (!(det > 0.0)) return 0.0;
    float *out = item.cov();
    for (int j = 0; j < n; ++j)
        for (int r = 0; r <= j; ++r) out[triIndex(r, j)] = static_cast<float>(full[r * n + j]);
    return det;
}

}  // namespace krel
