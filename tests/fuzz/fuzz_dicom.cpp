// libFuzzer target: DICOM element tables and pixel data through the image
// store, and the element listing of the same file.
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    krel::fuzz::readImage(data, size, "dcm");
    krel::fuzz::listDicomTags(krel::fuzz::inputFile("dcm").c_str());
    return 0;
}
