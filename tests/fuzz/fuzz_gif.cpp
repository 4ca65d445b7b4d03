// Fuzz target: GIF87a/GIF89a frames, LZW data and volumes, reached through the detection chain.
#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return krel::fuzz::openAndRead(data, size);
}
