// Byte order of pixel values.
#include <cstdint>
#include <cstring>

#include "image/formats/formats.h"

namespace krel {

void swapLine(int pixel, int columns, void *line)
{
    auto *p = static_cast<uint8_t *>(line);
    switch (pixel) {
    case PIX_SHORT:
    case PIX_USHORT:
        for (int c = 0; c < columns; ++c, p += 2) {
            uint16_t v;
            memcpy(&v, p, 2);
            v = __builtin_bswap16(v);
            memcpy(p, &v, 2);
        }
        break;
    case PIX_LONG:
    case PIX_FLOAT:
        for (int c = 0; c < columns; ++c, p += 4) {
            uint32_t v;
            memcpy(&v, p, 4);
            v = __builtin_bswap32(v);
            memcpy(p, &v, 4);
        }
        break;
    default: break;  // bytes, bits and nibbles have no byte order
    }
}

}  // namespace krel
