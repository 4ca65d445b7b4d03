// Fuzz target: TIFF directories, strips, tiles, PackBits and pages, reached through the detection chain.
#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return krel::fuzz::openAndRead(data, size);
}
