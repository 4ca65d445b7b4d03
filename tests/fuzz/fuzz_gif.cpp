// libFuzzer target: GIF87a/GIF89a frames, LZW data and volumes through the image store.
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return krel::fuzz::readImage(data, size, "gif");
}
