// The detection chain and the per-format tables of the format layer.
//
// The chain tries, in this order, and the first detector that accepts
// decides:
//   DICOM, DIB, XBMP, ERDAS, GIF, FFT, ELAS, TIFF, JPEG, IMAGEDEF, PPM, MPEG
// Slots whose reader is not part of this library yet are empty and skipped.
#include <unistd.h>

#include "image/formats/formats.h"

namespace krel {

namespace {

struct FormatTables {
    DetectFn detectors[DETECT_SLOT_COUNT] = {
        detectDicom,     // DICOM: read as BIP (or BSQ) with projection DICOM
        detectDIB,       // DIB
        detectXBMP,      // XBMP
        detectErdas,     // ERDAS: E73, E74, E74BSQ
        detectGif,       // GIF87a, GIF89a
        detectFFT,       // FFT
        detectElas,      // ELAS
        detectTiff,      // TIFF
        detectJPEG,      // JPEG
        detectImageDef,  // IMAGEDEF: BSQ, BIL, BIP
        detectPPM,       // PPM: P5, P6
        nullptr,         // MPEG
    };
    HeaderWriter headerWriters[kImageFormatCount] = {};
    WholeFileWriter wholeFileWriters[kImageFormatCount] = {};
    const FormatIO *io[kImageFormatCount] = {};

    FormatTables()
    {
        headerWriters[IMG_BSQ] = headerWriters[IMG_BIL] = headerWriters[IMG_BIP] = writeImageDefHeader;
        headerWriters[IMG_E73] = headerWriters[IMG_E74] = headerWriters[IMG_E74BSQ] = writeErdasHeader;
        headerWriters[IMG_DIB] = writeDIBHeader;
        headerWriters[IMG_PPM] = writePPMHeader;
        wholeFileWriters[IMG_XBMP] = writeXBMP;
        wholeFileWriters[IMG_JPEG] = writeJPEG;
        io[IMG_XBMP] = xbmpFormatIO();
        io[IMG_JPEG] = jpegFormatIO();
        headerWriters[IMG_GIF87A] = headerWriters[IMG_GIF89A] = refuseGifWrite;
        io[IMG_GIF87A] = io[IMG_GIF89A] = gifFormatIO();
        headerWriters[IMG_TIFF] = writeTiffHeader;
        io[IMG_TIFF] = tiffFormatIO();
    }
};

FormatTables &tables()
{
    static FormatTables t;
    return t;
}

bool validFormat(int imgid) { return imgid >= 0 && imgid < kImageFormatCount; }

}  // namespace

void setDetector(DetectorSlot slot, DetectFn fn)
{
    if (slot >= 0 && slot < DETECT_SLOT_COUNT) tables().detectors[slot] = fn;
}
DetectFn detectorAt(DetectorSlot slot)
{
    return slot >= 0 && slot < DETECT_SLOT_COUNT ? tables().detectors[slot] : nullptr;
}

void setHeaderWriter(int imgid, HeaderWriter fn)
{
    if (validFormat(imgid)) tables().headerWriters[imgid] = fn;
}
void setWholeFileWriter(int imgid, WholeFileWriter fn)
{
    if (validFormat(imgid)) tables().wholeFileWriters[imgid] = fn;
}
WholeFileWriter wholeFileWriter(int imgid) { return validFormat(imgid) ? tables().wholeFileWriters[imgid] : nullptr; }
void setFormatIO(int imgid, const FormatIO *io)
{
    if (validFormat(imgid)) tables().io[imgid] = io;
}
const FormatIO *formatIO(int imgid) { return validFormat(imgid) ? tables().io[imgid] : nullptr; }

int detectFormat(int fd, const char *fileName, ImageDef *def, void **aux)
{
    def->dataFd = -1;
    def->volumes = 0;
    const off_t position = lseek(fd, 0, SEEK_CUR);
    int result = 0;
    for (int slot = 0; slot < DETECT_SLOT_COUNT; ++slot) {
        DetectFn fn = tables().detectors[slot];
        if (fn == nullptr) continue;
        int code = fn(fd, fileName, def, aux);
        if (position >= 0) lseek(fd, position, SEEK_SET);
        if (code < 0) {
            result = -1;
            break;
        }
        if (code > 0) {
            result = code;
            break;
        }
    }
    return result;
}

int writeHeader(int fd, int checkSpace, ImageDef *def)
{
    if (!validFormat(def->imgid) || tables().headerWriters[def->imgid] == nullptr) return -2;
    const off_t position = lseek(fd, 0, SEEK_CUR);
    int rc = tables().headerWriters[def->imgid](fd, checkSpace, def);
    if (position >= 0) lseek(fd, position, SEEK_SET);
    return rc;
}

}  // namespace krel
