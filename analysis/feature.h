// Feature files: the one binary container in which the analysis modules keep
// derived statistics (class statistics, eigenvectors, cluster centres).
//
// A feature block lives in memory exactly as it lies on disk:
//    0  8   kind ID ("STATFTUR", "ISOFEATU", "EIGENID" + NUL)
//    8  4   total size of the block
//   12  4   item offset
//   16  4   item size
//   20  4   item count
//   24  4   parameter count P
//   28  4P  parameter words (0-based image bands the items describe)
//   ..      private information up to the item offset
//   item offset: count x item size bytes of items
// All integers are 32-bit little-endian. The invariants
//   total = item offset + count x item size,  item offset = 28 + 4P + private size
// hold for every block made or accepted here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace krel {

// Opaque handle of a feature block (its bytes, from gmemAlloc).
struct FeatureBlock;

void freeFeature(FeatureBlock *block);
struct FeatureDeleter {
    void operator()(FeatureBlock *block) const { freeFeature(block); }
};
using FeaturePtr = std::unique_ptr<FeatureBlock, FeatureDeleter>;

constexpr int kFeatureHeadSize = 28;
extern const char kStatFeatureId[8];   // "STATFTUR"
extern const char kEigenFeatureId[8];  // "EIGENID\0"
extern const char kIsoFeatureId[8];    // "ISOFEATU"

enum FeatureKind { FEATURE_UNKNOWN = 0, FEATURE_STAT = 1, FEATURE_EIGEN = 2, FEATURE_ISO = 3 };
enum FeatureInfo {
    FINFO_SIZE = 0,
    FINFO_COUNT = 1,
    FINFO_ITEM_SIZE = 2,
    FINFO_ITEM_OFFSET = 3,
    FINFO_PARAMS = 4,
    FINFO_KIND = 5
};

// Private sizes and item sizes of the three kinds for P bands.
constexpr int kStatPrivateSize = 192;
constexpr int kIsoPrivateSize = 152;
inline int64_t eigenPrivateSize(int64_t n)
{
    return 516 + 8 * n;
}
inline int64_t eigenItemSize(int64_t n)
{
    return 12 + 4 * n;
}
inline int64_t isoItemSize(int64_t n)
{
    return 12 + 16 * n;
}

// Creates a zero-filled block with the head filled in; `id` supplies 8 bytes,
// `params` P words (may be null: zeros), `priv` the private data (null: zeros).
// Null after "Error in malloc of newFeature." (also for sizes that do not fit
// the 32-bit head).
FeatureBlock *newFeature(const char *id, const int32_t *params, int nParams, int itemSize, int itemCount,
                         const void *priv, int privateSize);

// Loads a whole feature file. With `expectedId` the 8 ID bytes must equal it
// exactly; without, the ID must be one of the three kinds. The file is
// untrusted: its head must agree with the invariants, with the item size of its
// kind and with the file's own length, or it is refused with a message.
FeatureBlock *getFeature(const char *file, const char *expectedId);

// Writes the whole block; 1 on success, 0 after "FILE: system error".
int saveFeature(const char *file, const FeatureBlock *block);

// Resizing operations. On success the handle holds the (possibly moved)
// block; on failure it is left untouched, still owned by the caller, the
// message is printed and false returned.
bool addFeature(FeaturePtr &block, const void *item);  // item null: zeros
bool cutFeature(FeaturePtr &block, int n);
bool delFeatureItem(FeaturePtr &block, int i);

void *getFeatureItem(FeatureBlock *block, int i);  // null when i is not 0..count-1
const void *getFeatureItem(const FeatureBlock *block, int i);
int getFeatureInfo(const FeatureBlock *block, int what);
int getFeatureParam(const FeatureBlock *block, int i);  // -1 outside 0..P-1
void *getFeaturePrivate(FeatureBlock *block);           // null when empty
const void *getFeaturePrivate(const FeatureBlock *block);
int getFeaturePrivateSize(const FeatureBlock *block);
unsigned char *featureBytes(FeatureBlock *block);
const unsigned char *featureBytes(const FeatureBlock *block);

// Feature files are read and written with getFileData/putFileData of the
// format layer (image/formats/formats.h).

// ---- Packed triangles -------------------------------------------------------
// A symmetric n x n matrix is kept as rows j = 0..n-1, row j holding columns
// 0..j: (i, j) with i <= j lies at j(j+1)/2 + i.
inline int triIndex(int i, int j)
{
    return i <= j ? j * (j + 1) / 2 + i : i * (i + 1) / 2 + j;
}
inline int triSize(int n)
{
    return n * (n + 1) / 2;
}

// ---- Stat items (kind STATFTUR) ----------------------------------------------
//   0 32 name (NUL-terminated, at most 31 characters)
//  32 32 note (calendar time text of the last write)
//  64  4 nPixels
//  68  4 ID (0-based position when last written)
//  72 4n mean vector, then n(n+1)/2 covariances in packed-triangle order
constexpr int kStatNameSize = 32;
constexpr int kStatNoteSize = 32;
int statItemSize(int n);  // 72 + 2n(n+3)

struct StatItem {
    unsigned char *base = nullptr;
    int n = 0;
    explicit operator bool() const { return base != nullptr; }
    char *name() const { return reinterpret_cast<char *>(base); }
    char *note() const { return reinterpret_cast<char *>(base + 32); }
    int32_t nPixels() const;
    void setPixels(int32_t v) const;
    int32_t id() const;
    void setId(int32_t v) const;
    // Items of an accepted block start on a 4-byte boundary, so the singles
    // can be used in place.
    float *mean() const { return reinterpret_cast<float *>(base + 72); }
    float *cov() const { return reinterpret_cast<float *>(base + 72 + 4 * n); }
    // Name copied with truncation to 31 characters, always terminated.
    void setName(const char *text) const;
    void setNoteNow() const;  // the current local calendar time text
};
// The item view of a STATFTUR block's item i; empty when out of range.
StatItem statItem(FeatureBlock *block, int i);

// Index of the first item whose name equals `name` ignoring case, or -1.
int findStat(const FeatureBlock *block, const char *name);

// Gauss-Jordan inversion in place with diagonal pivoting of an n x n row-major
// matrix; returns the determinant, 0 (after a message) for a singular matrix.
double dgb(double *a, int n);

// Replaces item i's covariance by its inverse (in memory only) and returns
// the determinant; returns 0 and leaves the item alone when it cannot.
double invertStat(FeatureBlock *block, int i);

}  // namespace krel
