/* The JPEG library calls, each under its own setjmp, in C only (see
 * jpeg_guard.h). The data come and go through descriptors by position
 * (pread/pwrite), so the caller's file position is never disturbed. */
#include "image/formats/jpeg_guard.h"

#include <errno.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <jpeglib.h>
#include <jerror.h>

/* Progressive files may hold any number of scans, each touching every
 * coefficient again: a hostile file makes decoding arbitrarily slow. No
 * encoder writes more than a few dozen. */
#define KREL_MAX_SCANS 500

typedef struct GuardError {
    struct jpeg_error_mgr pub;
    jmp_buf jump;
    char *message;
    size_t size;
    char *warning;
    size_t warningSize;
} GuardError;

static void copyText(char *to, size_t size, const char *text)
{
    if (to == NULL || size == 0) return;
    strncpy(to, text, size - 1);
    to[size - 1] = '\0';
}

static void guardErrorExit(j_common_ptr cinfo)
{
    GuardError *e = (GuardError *)cinfo->err;
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    copyText(e->message, e->size, text);
    longjmp(e->jump, 1);
}

/* Warnings (level -1) keep the first text; trace messages are dropped. The
 * library's own printing to stderr is never reached. */
static void guardEmitMessage(j_common_ptr cinfo, int level)
{
    GuardError *e = (GuardError *)cinfo->err;
    if (level >= 0) return;
    if (cinfo->err->num_warnings++ == 0 && e->warning && e->warningSize) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        copyText(e->warning, e->warningSize, text);
    }
}

static void guardOutputMessage(j_common_ptr cinfo) { (void)cinfo; }

static void initGuard(GuardError *e, char *message, size_t size, char *warning, size_t warningSize)
{
    jpeg_std_error(&e->pub);
    e->pub.error_exit = guardErrorExit;
    e->pub.emit_message = guardEmitMessage;
    e->pub.output_message = guardOutputMessage;
    e->message = message;
    e->size = size;
    e->warning = warning;
    e->warningSize = warningSize;
    copyText(message, size, "");
    copyText(warning, warningSize, "");
}

/* ---- Source: the file by position ---------------------------------------- */

typedef struct FdSource {
    struct jpeg_source_mgr pub;
    int fd;
    long long offset;
    JOCTET buffer[65536];
} FdSource;

static void sourceInit(j_decompress_ptr cinfo) { (void)cinfo; }

static boolean sourceFill(j_decompress_ptr cinfo)
{
    FdSource *s = (FdSource *)cinfo->src;
    ssize_t got;
    do {
        got = pread(s->fd, s->buffer, sizeof s->buffer, (off_t)s->offset);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        /* A file cut short ends as if its end marker were there: the library
         * warns and the rows it cannot decode are left as they are. */
        WARNMS(cinfo, JWRN_JPEG_EOF);
        s->buffer[0] = (JOCTET)0xFF;
        s->buffer[1] = (JOCTET)JPEG_EOI;
        got = 2;
    } else {
        s->offset += got;
    }
    s->pub.next_input_byte = s->buffer;
    s->pub.bytes_in_buffer = (size_t)got;
    return TRUE;
}

static void sourceSkip(j_decompress_ptr cinfo, long count)
{
    FdSource *s = (FdSource *)cinfo->src;
    if (count <= 0) return;
    if ((size_t)count <= s->pub.bytes_in_buffer) {
        s->pub.next_input_byte += count;
        s->pub.bytes_in_buffer -= (size_t)count;
        return;
    }
    s->offset += count - (long)s->pub.bytes_in_buffer;
    s->pub.bytes_in_buffer = 0;
}

static void sourceTerm(j_decompress_ptr cinfo) { (void)cinfo; }

/* The source lives in the library's permanent pool: it goes with the object. */
static void useFdSource(j_decompress_ptr cinfo, int fd)
{
    FdSource *s = (FdSource *)(*cinfo->mem->alloc_small)((j_common_ptr)cinfo, JPOOL_PERMANENT, sizeof(FdSource));
    s->fd = fd;
    s->offset = 0;
    s->pub.init_source = sourceInit;
    s->pub.fill_input_buffer = sourceFill;
    s->pub.skip_input_data = sourceSkip;
    s->pub.resync_to_restart = jpeg_resync_to_restart;
    s->pub.term_source = sourceTerm;
    s->pub.bytes_in_buffer = 0;
    s->pub.next_input_byte = NULL;
    cinfo->src = &s->pub;
}

/* ---- Destination: the file from offset 0 ---------------------------------- */

typedef struct FdDest {
    struct jpeg_destination_mgr pub;
    int fd;
    long long offset;
    JOCTET buffer[65536];
} FdDest;

static int destWrite(FdDest *d, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t put = pwrite(d->fd, d->buffer + done, n - done, (off_t)(d->offset + (long long)done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return 0;
        done += (size_t)put;
    }
    d->offset += (long long)n;
    return 1;
}

static void destInit(j_compress_ptr cinfo)
{
    FdDest *d = (FdDest *)cinfo->dest;
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = sizeof d->buffer;
}

static boolean destEmpty(j_compress_ptr cinfo)
{
    FdDest *d = (FdDest *)cinfo->dest;
    if (!destWrite(d, sizeof d->buffer)) ERREXIT(cinfo, JERR_FILE_WRITE);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = sizeof d->buffer;
    return TRUE;
}

static void destTerm(j_compress_ptr cinfo)
{
    FdDest *d = (FdDest *)cinfo->dest;
    size_t n = sizeof d->buffer - d->pub.free_in_buffer;
    if (n > 0 && !destWrite(d, n)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

/* ---- Scan limit --------------------------------------------------------------- */

typedef struct GuardProgress {
    struct jpeg_progress_mgr pub;
    GuardError *err;
} GuardProgress;

static void guardProgress(j_common_ptr cinfo)
{
    GuardProgress *p = (GuardProgress *)cinfo->progress;
    if (cinfo->is_decompressor && ((j_decompress_ptr)cinfo)->input_scan_number > KREL_MAX_SCANS) {
        copyText(p->err->message, p->err->size, "too many scans in a progressive JPEG file");
        longjmp(p->err->jump, 1);
    }
}

/* ---- The guarded calls ---------------------------------------------------------- */

static long long blocksOf(j_decompress_ptr cinfo)
{
    long long total = 0;
    int maxH = 1, maxV = 1, i;
    for (i = 0; i < cinfo->num_components; ++i) {
        if (cinfo->comp_info[i].h_samp_factor > maxH) maxH = cinfo->comp_info[i].h_samp_factor;
        if (cinfo->comp_info[i].v_samp_factor > maxV) maxV = cinfo->comp_info[i].v_samp_factor;
    }
    for (i = 0; i < cinfo->num_components; ++i) {
        long long w = ((long long)cinfo->image_width * cinfo->comp_info[i].h_samp_factor + 8LL * maxH - 1) / (8LL * maxH);
        long long h = ((long long)cinfo->image_height * cinfo->comp_info[i].v_samp_factor + 8LL * maxV - 1) / (8LL * maxV);
        total += w * h;
    }
    return total;
}

int krelJpegReadInfo(int fd, KrelJpegInfo *info, char *message, size_t size)
{
    struct jpeg_decompress_struct cinfo;
    GuardError err;
    initGuard(&err, message, size, NULL, 0);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    useFdSource(&cinfo, fd);
    jpeg_read_header(&cinfo, TRUE);
    info->width = (int)cinfo.image_width;
    info->height = (int)cinfo.image_height;
    info->components = cinfo.num_components;
    info->arithmetic = cinfo.arith_code;
    info->progressive = cinfo.progressive_mode;
    info->blocks = blocksOf(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 1;
}

int krelJpegDecode(int fd, int components, KrelJpegRowSink sink, void *context, int *rowsDone, char *message,
                   size_t size, char *warning, size_t warningSize)
{
    struct jpeg_decompress_struct cinfo;
    GuardError err;
    GuardProgress progress;
    volatile int rows = 0;
    initGuard(&err, message, size, warning, warningSize);
    cinfo.err = &err.pub;
    *rowsDone = 0;
    if (setjmp(err.jump)) {
        *rowsDone = rows;
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    progress.pub.progress_monitor = guardProgress;
    progress.err = &err;
    cinfo.progress = &progress.pub;
    useFdSource(&cinfo, fd);
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_components != components) {
        copyText(message, size, "the colour components changed while decoding");
        jpeg_destroy_decompress(&cinfo);
        *rowsDone = rows;
        return 0;
    }
    {
        JSAMPARRAY buffer = (*cinfo.mem->alloc_sarray)((j_common_ptr)&cinfo, JPOOL_IMAGE,
                                                       cinfo.output_width * (JDIMENSION)cinfo.output_components, 1);
        while (cinfo.output_scanline < cinfo.output_height) {
            JDIMENSION row = cinfo.output_scanline;
            if (jpeg_read_scanlines(&cinfo, buffer, 1) != 1) break;
            sink(context, (int)row, buffer[0]);
            rows = rows + 1;
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    *rowsDone = rows;
    return 1;
}

int krelJpegEncode(int fd, int width, int height, int components, int quality, KrelJpegRowSource source,
                   void *context, long long *bytes, char *message, size_t size)
{
    struct jpeg_compress_struct cinfo;
    GuardError err;
    FdDest *dest;
    initGuard(&err, message, size, NULL, 0);
    cinfo.err = &err.pub;
    *bytes = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return 0;
    }
    jpeg_create_compress(&cinfo);
    dest = (FdDest *)(*cinfo.mem->alloc_small)((j_common_ptr)&cinfo, JPOOL_PERMANENT, sizeof(FdDest));
    dest->fd = fd;
    dest->offset = 0;
    dest->pub.init_destination = destInit;
    dest->pub.empty_output_buffer = destEmpty;
    dest->pub.term_destination = destTerm;
    cinfo.dest = &dest->pub;
    cinfo.image_width = (JDIMENSION)width;
    cinfo.image_height = (JDIMENSION)height;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB
                         : components == 4 ? JCS_CMYK : JCS_UNKNOWN;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    {
        JSAMPARRAY buffer = (*cinfo.mem->alloc_sarray)((j_common_ptr)&cinfo, JPOOL_IMAGE,
                                                       (JDIMENSION)width * (JDIMENSION)components, 1);
        while (cinfo.next_scanline < cinfo.image_height) {
            source(context, (int)cinfo.next_scanline, buffer[0]);
            jpeg_write_scanlines(&cinfo, buffer, 1);
        }
    }
    jpeg_finish_compress(&cinfo);
    *bytes = dest->offset;
    jpeg_destroy_compress(&cinfo);
    return 1;
}
