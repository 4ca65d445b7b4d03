// Pixel writers: conversion, clamping and rounding by pixel type, bit and
// nibble order, clipping and the pixel-interleaved forms.
#include <gtest/gtest.h>

#include <cmath>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "support.h"

using namespace krel;

namespace {

struct Img {
    RamImage *img = nullptr;
    Img(int pixel, int columns, int nbands = 1, int msbf = 0)
    {
        ImageDef d = defaultImageDef();
        d.imgid = IMG_MBIL;
        d.pixel = pixel;
        d.rows = 2;
        d.columns = columns;
        d.nbands = nbands;
        d.msbf = msbf;
        int err;
        img = createImage(&d, nullptr, &err);
    }
    ~Img() { destroyImage(img); }
    template <class T>
    T at(int c, int band = 0, int row = 0)
    {
        T v;
        memcpy(&v, getLine(img, row, band, 1) + c * sizeof(T), sizeof(T));
        return v;
    }
};

}  // namespace

TEST(PixelWriters, ClampAndRoundByType)
{
    std::vector<float> in = {-3.0f, 300.0f, 2.5f, 2.49f, -1.7f, 1.5f, -2.0f, NAN};
    {
        Img m(PIX_BYTE, 8);
        EXPECT_EQ(putFloatLine(m.img, 0, 0, 8, 0, in.data()), 8);
        uint8_t want[] = {0, 255, 3, 2, 0, 2, 0, 0};
        for (int c = 0; c < 8; ++c) EXPECT_EQ(m.at<uint8_t>(c), want[c]) << c;
    }
    {
        Img m(PIX_SHORT, 8);
        std::vector<float> s = {-40000, 40000, 2.5f, 2.49f, -1.7f, 1.5f, -2.0f, -32768};
        putFloatLine(m.img, 0, 0, 8, 0, s.data());
        int16_t want[] = {-32768, 32767, 3, 2, -2, 2, -2, -32768};
        for (int c = 0; c < 8; ++c) EXPECT_EQ(m.at<int16_t>(c), want[c]) << c;
    }
    {
        Img m(PIX_USHORT, 3);
        float s[] = {-1, 70000, 65534.6f};
        putFloatLine(m.img, 0, 0, 3, 0, s);
        EXPECT_EQ(m.at<uint16_t>(0), 0);
        EXPECT_EQ(m.at<uint16_t>(1), 65535);
        EXPECT_EQ(m.at<uint16_t>(2), 65535);
    }
    {
        Img m(PIX_LONG, 3);
        float s[] = {3e9f, -3e9f, -7.5f};
        putFloatLine(m.img, 0, 0, 3, 0, s);
        EXPECT_EQ(m.at<int32_t>(0), 2147483647);
        EXPECT_EQ(m.at<int32_t>(1), -2147483647 - 1);
        EXPECT_EQ(m.at<int32_t>(2), -7);
    }
    {
        Img m(PIX_FLOAT, 2);
        float s[] = {1.25f, -1e30f};
        putFloatLine(m.img, 0, 0, 2, 0, s);
        EXPECT_EQ(m.at<float>(0), 1.25f);
        EXPECT_EQ(m.at<float>(1), -1e30f);
    }
    for (int pixel : {PIX_ULONG, PIX_SBYTE}) {
        Img m(pixel, 2);
        float s[] = {1, 2};
        EXPECT_EQ(putFloatLine(m.img, 0, 0, 2, 0, s), 0);
    }
}

TEST(PixelWriters, BitsAndNibblesFollowMsbf)
{
    float v[10] = {1, 0, 0, 0, 0, 0, 0, 1, 1, 0};
    Img lsb(PIX_1BIT, 10, 1, 0), msb(PIX_1BIT, 10, 1, 1);
    putFloatLine(lsb.img, 0, 0, 10, 0, v);
    putFloatLine(msb.img, 0, 0, 10, 0, v);
    EXPECT_EQ(getLine(lsb.img, 0, 0, 1)[0], 0x81);
    EXPECT_EQ(getLine(lsb.img, 0, 0, 1)[1], 0x01);
    EXPECT_EQ(getLine(msb.img, 0, 0, 1)[1], 0x80);
    float off = -1;
    putFloatLine(lsb.img, 0, 7, 1, 0, &off);
    EXPECT_EQ(getLine(lsb.img, 0, 0, 1)[0], 0x01);

    float n[3] = {7.6f, 20, -1};
    Img lo(PIX_4BITS, 3, 1, 0), hi(PIX_4BITS, 3, 1, 1);
    putFloatLine(lo.img, 0, 0, 3, 0, n);
    putFloatLine(hi.img, 0, 0, 3, 0, n);
    EXPECT_EQ(getLine(lo.img, 0, 0, 1)[0], 0xF8);  // even column in the low nibble
    EXPECT_EQ(getLine(hi.img, 0, 0, 1)[0], 0x8F);
    EXPECT_EQ(getLine(lo.img, 0, 0, 1)[1] & 0x0F, 0);
}

TEST(PixelWriters, ClippingAndByteValues)
{
    Img m(PIX_SHORT, 5);
    uint8_t b[4] = {200, 201, 202, 203};
    EXPECT_EQ(putByteLine(m.img, 1, 3, 4, 0, b), 2);  // clipped at the last column
    EXPECT_EQ(m.at<int16_t>(4, 0, 1), 201);
    EXPECT_EQ(putByteLine(m.img, 1, -2, 4, 0, b), 2);  // columns left of 0 are skipped
    EXPECT_EQ(m.at<int16_t>(0, 0, 1), 202);
    EXPECT_EQ(putByteLine(m.img, 2, 0, 1, 0, b), 0);  // no such row
    EXPECT_EQ(putByteLine(m.img, 0, 0, 1, 1, b), 0);  // no such band
}

TEST(PixelWriters, PixelInterleavedForms)
{
    Img m(PIX_BYTE, 3, 4);
    // Bands 1..2 from values interleaved by two.
    float v[6] = {10, 20, 11, 21, 12, 22};
    EXPECT_EQ(putFloatBIPData(m.img, 1, 2, 0, 0, 3, v), 3);
    EXPECT_EQ(m.at<uint8_t>(2, 1), 12);
    EXPECT_EQ(m.at<uint8_t>(2, 2), 22);
    EXPECT_EQ(m.at<uint8_t>(0, 0), 0);
    // Bands beyond the image are skipped.
    EXPECT_EQ(putFloatBIPData(m.img, 3, 2, 1, 0, 3, v), 3);
    EXPECT_EQ(m.at<uint8_t>(1, 3, 1), 11);

    uint8_t w[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    int list[3] = {3, 9, 0};
    EXPECT_EQ(writeByteBIPData(m.img, 1, 0, 3, 3, list, w), 3);
    EXPECT_EQ(m.at<uint8_t>(2, 3, 1), 7);
    EXPECT_EQ(m.at<uint8_t>(2, 0, 1), 9);
    EXPECT_EQ(writeFloatBIPData(m.img, 0, 0, 3, 2, nullptr, v), 3);
    EXPECT_EQ(m.at<uint8_t>(1, 1), 21);
    uint8_t pb[4] = {1, 2, 3, 4};
    EXPECT_EQ(putByteBIPData(m.img, 0, 4, 1, 2, 1, pb), 1);
    EXPECT_EQ(m.at<uint8_t>(2, 3, 1), 4);
}
