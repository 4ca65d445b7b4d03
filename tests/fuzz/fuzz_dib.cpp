// libFuzzer target: dib files through the image store.
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return krel::fuzz::readImage(data, size, "bmp");
}
