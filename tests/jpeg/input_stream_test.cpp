// The input side: refills, the FF D9 fallback, push-back, the header and entropy bit readers.
#include <gtest/gtest.h>

#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

Bytes Counting(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        b[i] = static_cast<uint8_t>((i * 7 + 1) % 251);  // never FF
    }
    return b;
}

TEST(InputStream, ResetConsumesNothingAndReadsAcrossRefill)
{
    PoolDecoder d;
    LoadStream(d.d, {0x12, 0x34, 0x56, 0x78, 0x9A});
    EXPECT_EQ(ReadHeaderBits(d.d, 8), 0x12u);
    EXPECT_EQ(ReadHeaderBits(d.d, 16), 0x3456u);
    EXPECT_EQ(ReadHeaderBits(d.d, 8), 0x78u);
    EXPECT_EQ(ReadHeaderBits(d.d, 4), 0x9u);
    EXPECT_EQ(ReadHeaderBits(d.d, 12), 0xAFFu);  // then the FF D9 fallback
    EXPECT_EQ(d->status, 0);
}

TEST(InputStream, ShortStreamFillsOnceThenReadsFfD9ForEver)
{
    PoolDecoder d;
    LoadStream(d.d, {1, 2, 3});
    EXPECT_EQ(d->endOfData, 1);
    const ULONG expected[] = {1, 2, 3, 0xFF, 0xD9, 0xFF, 0xD9, 0xFF, 0xD9};
    for (ULONG e : expected) {
        EXPECT_EQ(ReadHeaderBits(d.d, 8), e);
    }
    EXPECT_EQ(d->status, 0);
}

TEST(InputStream, LongStreamReadsInOrderAcrossBufferRefills)
{
    PoolDecoder d;
    const Bytes s = Counting(3 * 4096 + 100);
    LoadStream(d.d, s);
    for (size_t i = 0; i < s.size(); i++) {
        ASSERT_EQ(ReadHeaderBits(d.d, 8), s[i]) << i;
    }
    EXPECT_EQ(ReadHeaderBits(d.d, 16), 0xFFD9u);
}

TEST(InputStream, PushBackAtBufferStartLandsInPushBackRoom)
{
    PoolDecoder d;
    const Bytes s = Counting(4096 + 10);
    LoadStream(d.d, s);
    while (d->inputLeft > 0) {
        ReadStreamByte(d.d);
    }
    EXPECT_EQ(ReadStreamByte(d.d), s[4096]);  // refill: cursor at the buffer's start + 1
    PushBackByte(d.d, s[4096]);
    PushBackByte(d.d, 0xEE);
    PushBackByte(d.d, 0xDD);
    EXPECT_LT(d->inputCursor, d->inputBuffer + kJpegPushBackBytes);
    EXPECT_EQ(ReadStreamByte(d.d), 0xDD);
    EXPECT_EQ(ReadStreamByte(d.d), 0xEE);
    EXPECT_EQ(ReadStreamByte(d.d), s[4096]);
    EXPECT_EQ(ReadStreamByte(d.d), s[4097]);
}

// The entropy reader: stuffing, markers held back, the exhausted stream.
TEST(EntropyReader, StuffingAndMarkers)
{
    struct Case {
        Bytes stream;
        std::vector<UCHAR> expected;
    } cases[] = {
        {{0x12, 0xFF, 0x00, 0x34}, {0x12, 0xFF, 0x34}},
        {{0x12, 0xFF, 0xD0, 0x34}, {0x12, 0xFF, 0xFF, 0xFF, 0xFF}},  // RST0 stays in the input
        {{0x12, 0xFF}, {0x12, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        PoolDecoder d;
        LoadStream(d.d, Concat(Bytes(4, 0), c.stream));  // 4 bytes for the priming reads
        for (UCHAR e : c.expected) {
            EXPECT_EQ(ReadEntropyByte(d.d), e);
        }
    }
    // The marker's bytes are still there for the raw reader.
    PoolDecoder d;
    LoadStream(d.d, {0, 0, 0, 0, 0xFF, 0xD3, 0x77});
    EXPECT_EQ(ReadEntropyByte(d.d), 0xFF);
    EXPECT_EQ(ReadEntropyByte(d.d), 0xFF);
    EXPECT_EQ(ReadStreamByte(d.d), 0xFF);
    EXPECT_EQ(ReadStreamByte(d.d), 0xD3);
    EXPECT_EQ(ReadStreamByte(d.d), 0x77);
}

TEST(EntropyReader, BitsPastAMarkerAreOnes)
{
    PoolDecoder d;
    LoadStream(d.d, {0, 0, 0, 0, 0xA5, 0xFF, 0xD9});
    d->bitsLeft = 16;
    ReadEntropyBits(d.d, 16);
    ReadEntropyBits(d.d, 16);
    EXPECT_EQ(ReadEntropyBits(d.d, 8), 0xA5u);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(ReadEntropyBits(d.d, 13), 0x1FFFu);
    }
}

}  // namespace
