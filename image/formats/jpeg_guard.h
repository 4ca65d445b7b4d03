/* The JPEG library behind a C-only frame.
 *
 * The library reports fatal errors by calling an error handler that must not
 * return; these functions catch them with setjmp/longjmp. The jump only ever
 * crosses the library's C frames and the guard's own: the row callbacks run
 * between library calls, never below one, so no C++ frame (and no destructor)
 * is skipped. The functions answer 1 on success and 0 on failure, with the
 * library's text in `message`. Nothing here prints: the caller reports. */
#ifndef KREL_JPEG_GUARD_H
#define KREL_JPEG_GUARD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KrelJpegInfo {
    int width;
    int height;
    int components;
    int arithmetic;        /* arithmetic-coded data */
    int progressive;
    long long blocks;      /* 8 x 8 blocks over all components */
} KrelJpegInfo;

/* Receives decoded row `row` (width x components interleaved bytes). */
typedef void (*KrelJpegRowSink)(void *context, int row, const unsigned char *pixels);
/* Fills row `row` (width x components interleaved bytes) to be compressed. */
typedef void (*KrelJpegRowSource)(void *context, int row, unsigned char *pixels);

/* Reads the header from the start of the file (by position, the descriptor's
 * own position is not used). */
int krelJpegReadInfo(int fd, KrelJpegInfo *info, char *message, size_t size);

/* Decodes the whole image; *rowsDone counts the rows delivered, also on
 * failure. `warning` receives the first warning (corrupt data), if any. */
int krelJpegDecode(int fd, int components, KrelJpegRowSink sink, void *context, int *rowsDone, char *message,
                   size_t size, char *warning, size_t warningSize);

/* Compresses an image into the file from offset 0; *bytes is the length. */
int krelJpegEncode(int fd, int width, int height, int components, int quality, KrelJpegRowSource source,
                   void *context, long long *bytes, char *message, size_t size);

#ifdef __cplusplus
}
#endif

#endif
