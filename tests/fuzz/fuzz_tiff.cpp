// libFuzzer target: TIFF directories, strips, tiles and PackBits through the
// image store, and the tag listing of the same file.
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    krel::fuzz::readImage(data, size, "tif");
    krel::fuzz::listTiffTags(krel::fuzz::inputFile("tif").c_str());
    return 0;
}
