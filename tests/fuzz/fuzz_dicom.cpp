// Fuzz target: DICOM meta groups, element tables, sequences and frames, reached through the detection chain.
#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return krel::fuzz::openAndRead(data, size);
}
