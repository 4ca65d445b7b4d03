// Passes of the frequency-domain modules over an FFT file: a row pass that
// reads a source (an image band, or the rows of an FFT file) and writes the
// output file, and a column pass over the output file in place. Each pass may
// transform, filter, transform back and convert between real/imaginary and
// power/phase form. Work goes in chunks of at most 4 MiB, with the status
// poll and the meter once per chunk; the arithmetic of a chunk is shared with
// a helper thread.
#pragma once

#include <cstdint>

#include "analysis/buffer.h"
#include "analysis/fft.h"
#include "analysis/row_helper.h"
#include "image/formats/formats.h"
#include "image/module_util.h"
#include "image/ramimage.h"

namespace krel {

// A filter gain over the offsets of a sample from the filter's centre.
struct FFTFilter {
    enum Kind { NONE, BELL, HIGH, NOTCH };
    Kind kind = NONE;
    double rx = 1, ry = 1, n = 1, amp = 1;
    double x = 0, y = 0;  // notch centre (column, row); bell and high use the middle
    double angle = 0;     // degrees

    // Parses "name,numbers..." (bell r,n | rx,ry,n; high r,n,amp | rx,ry,n,amp;
    // notch r,n,amp,x,y | rx,ry,n,amp,x,y). False on a wrong name, field count
    // or a radius that is not positive.
    bool parse(const char *text);
    // The gain at a sample (column, row) of a padded rows x columns file;
    // `axes` 3 both, 1 along rows only (u = d_x / r_x), 2 along columns only.
    double gain(int column, int row, int rows, int columns, int axes) const;

    double cosA = 1, sinA = 0;  // of the angle, set by setAngle
    void setAngle(double degrees);
};

// What one pass does to each sequence, in this order.
struct FFTPassSteps {
    bool fromPP = false;      // samples come in as power/phase
    int transform = 0;        // +1 forward, -1 inverse, 0 none
    const FFTFilter *filter = nullptr;
    int filterAxes = 3;
    bool thenInverse = false;  // back again after filtering
    bool toPP = false;         // samples go out as power/phase
    bool fold = false;         // fold the written samples into the header statistics
};

// The band of an image as the row source of a first pass: row r of the file
// is image row r mod rows, extended periodically along the row.
struct FFTImageSource {
    RamImage *image = nullptr;
    int band = 0;                         // 0-based; of the palette for a colour index image
    bool palette = false;
};

class FFTPasses {
public:
    // `head` and `fd`: the output file, already created with its header.
    FFTPasses(FFTHeader *head, int fd, const char *meterName, bool verbose)
        : head_(head), fd_(fd), meter_{meterName, 0.0f}, verbose_(verbose)
    {
    }
    ~FFTPasses();
    FFTPasses(const FFTPasses &) = delete;
    FFTPasses &operator=(const FFTPasses &) = delete;
    // Allocates the plans and buffers; false (nothing printed) when memory is short.
    bool prepare(int rowPasses, int columnPasses);

    // 1 done, 0 failed (printed), -1 cancelled through the status poll.
    int rowPass(const FFTImageSource &source, const FFTPassSteps &steps);
    int rowPass(const FFTHeader &sourceHead, int sourceFd, const FFTPassSteps &steps);
    int columnPass(const FFTPassSteps &steps);
    void finishMeter() { meter_.finish(); }
    // Writes samples held in memory into the file: 0, or -1 (printed).
    int writeOut();

    // Files of at most this many sample bytes are transformed in memory and
    // written once at the end (default: 1 GiB or a quarter of the memory);
    // larger ones in the file's mapping, or chunk by chunk through reads and
    // writes where it cannot be mapped.
    static void setMemoryLimit(int64_t bytes);
    int linesPerChunk() const { return lines_; }
    int columnsPerChunk() const { return columnsChunk_; }

private:
    int rowPassFrom(const FFTImageSource *image, const FFTHeader *sourceHead, int sourceFd,
                    const FFTPassSteps &steps);
    bool step();  // status poll and meter; false on cancel
    // Transforms `count` rows (or columns) of the block at `base`, whose rows
    // lie `stride` floats apart.
    void runGroups(float *base, size_t stride, bool rows, int first, int count, const FFTPassSteps &steps);

    FFTHeader *head_;
    int fd_;
    MeterProgress meter_;
    bool verbose_;
    int lines_ = 1, columnsChunk_ = 1;
    long units_ = 1, done_ = 0;
    FFTPlan rowPlan_, columnPlan_;
    GmemArray<float> chunk_;
    GmemArray<float> lanes_[2];  // re and im of kFFTLanes sequences, per thread
    GmemArray<float> line_;
    RowHelper helper_;
    // The output's samples, in memory or in the file's mapping where the
    // system allows: chunks are then transformed where they lie.
    bool inMemory_ = false;
    void *map_ = nullptr;
    size_t mapBytes_ = 0;
    float *samples_ = nullptr;
};

}  // namespace krel
