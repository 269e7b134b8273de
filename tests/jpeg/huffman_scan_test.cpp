// Huffman tables and sequential scans: canonical codes through the lookup and the tree, the
// table bounds, zero runs, 16-bit products, zigzag extents and restart markers.
#include <cstring>

#include <gtest/gtest.h>

#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

void PrimeEntropy(JpegDecoder* d, const Bytes& data)
{
    LoadStream(d, Concat(Bytes(4, 0), data));
    d->bitsLeft = 16;
    ReadEntropyBits(d, 16);
    ReadEntropyBits(d, 16);
}

void SetSpec(JpegDecoder* d, int slot, const Bytes& counts16, const Bytes& symbols)
{
    d->huffmanCounts[slot] = static_cast<UCHAR*>(DecoderAlloc(d, 17));
    d->huffmanSymbols[slot] = static_cast<UCHAR*>(DecoderAlloc(d, 256));
    std::memcpy(d->huffmanCounts[slot] + 1, counts16.data(), 16);
    std::memcpy(d->huffmanSymbols[slot], symbols.data(), symbols.size());
}

// The luminance AC table of the camera template (Annex K), with 16-bit codes.
void TemplateAcTable(Bytes* counts, Bytes* symbols)
{
    const Bytes t = CameraTemplate();
    counts->assign(t.begin() + 211 + 5, t.begin() + 211 + 21);
    symbols->assign(t.begin() + 211 + 21, t.begin() + 211 + 183);
}

TEST(Huffman, EveryCanonicalCodeDecodesIncludingSixteenBitOnes)
{
    Bytes counts, symbols;
    TemplateAcTable(&counts, &symbols);
    ASSERT_EQ(symbols.size(), 162u);
    // Canonical codes computed independently, then decoded one after the other.
    Builder b;
    std::vector<int> lengths;
    uint32_t code = 0;
    size_t p = 0;
    for (int n = 1; n <= 16; n++, code <<= 1) {
        for (int i = 0; i < counts[n - 1]; i++, code++, p++) {
            b.Bits(code, n);
            lengths.push_back(n);
        }
    }
    b.Flush();
    EXPECT_EQ(lengths.back(), 16);
    PoolDecoder d;
    PrimeEntropy(d.d, b.bytes);
    SetSpec(d.d, 4, counts, symbols);
    HuffmanTable* table = static_cast<HuffmanTable*>(DecoderAlloc(d.d, sizeof(HuffmanTable)));
    ASSERT_TRUE(BuildHuffmanTable(d.d, 4, table));
    for (size_t i = 0; i < symbols.size(); i++) {
        ASSERT_EQ(HuffmanDecode(d.d, table), symbols[i]) << "symbol " << i << " length " << lengths[i];
    }
    EXPECT_EQ(d->status, 0);
    DecoderFreeAll(d.d);
}

TEST(Huffman, PatternThatStartsNoCodeReadsAsSymbolZeroWithoutBits)
{
    PoolDecoder d;
    PrimeEntropy(d.d, {0x80, 0x00});
    Bytes counts(16, 0);
    counts[0] = 1;  // one code of length 1: "0" -> symbol 5
    SetSpec(d.d, 0, counts, {5});
    HuffmanTable* table = static_cast<HuffmanTable*>(DecoderAlloc(d.d, sizeof(HuffmanTable)));
    ASSERT_TRUE(BuildHuffmanTable(d.d, 0, table));
    EXPECT_EQ(HuffmanDecode(d.d, table), 0);  // "1..." starts no code; nothing consumed
    EXPECT_EQ(ReadEntropyBits(d.d, 1), 1u);
    EXPECT_EQ(HuffmanDecode(d.d, table), 5);
    DecoderFreeAll(d.d);
}

TEST(Huffman, OverSubscribedCodeSpaceIsRejected)
{
    struct Case {
        std::vector<std::pair<int, int>> lengthCounts;  // (length, count)
        bool ok;
    } cases[] = {
        {{{1, 2}}, true},
        {{{1, 3}}, false},
        {{{1, 2}, {2, 1}}, false},
        {{{8, 255}}, true},
        {{{9, 255}}, true},
        {{{16, 255}}, true},
        {{{1, 1}, {16, 254}}, true},
        {{{4, 15}, {5, 3}}, false},
        {{{12, 250}, {16, 5}}, true},
    };
    for (const auto& c : cases) {
        PoolDecoder d;
        LoadStream(d.d, {0});
        Bytes counts(16, 0);
        Bytes symbols;
        for (auto [length, count] : c.lengthCounts) {
            counts[length - 1] = static_cast<uint8_t>(count);
            for (int i = 0; i < count; i++) {
                symbols.push_back(static_cast<uint8_t>(symbols.size()));
            }
        }
        SetSpec(d.d, 4, counts, symbols);
        HuffmanTable* table = static_cast<HuffmanTable*>(DecoderAlloc(d.d, sizeof(HuffmanTable)));
        EXPECT_EQ(BuildHuffmanTable(d.d, 4, table) != 0, c.ok) << c.lengthCounts[0].first;
        EXPECT_EQ(d->status, c.ok ? 0 : JPEG_HUFFMAN_COUNTS);
        DecoderFreeAll(d.d);
    }
}

// A grey 8 x (8 x rows) image with flat 8-bit tables: DC symbol i and AC symbol list entry i
// both have code i.
const Bytes kAcSymbols = {0x00, 0xF0, 0x01, 0x11, 0xE1, 0xF1, 0x21};

class GreyScan {
public:
    explicit GreyScan(int rows, int quant = 1, int restart = 0) : rows_(rows)
    {
        b.Soi().Dqt(0, quant).Sof(0xC0, 8, 8 * rows, {0x11});
        if (restart) {
            b.Dri(restart);
        }
        Bytes dc;
        for (int i = 0; i <= 16; i++) {
            dc.push_back(static_cast<uint8_t>(i));
        }
        b.FlatDht(0, 0, dc).FlatDht(1, 0, kAcSymbols).Sos({1});
    }
    GreyScan& Dc(int category, uint32_t bits)
    {
        b.Bits(static_cast<uint32_t>(category), 8);
        if (category > 0) {
            b.Bits(bits, category);
        }
        return *this;
    }
    GreyScan& Ac(uint8_t symbol, uint32_t bits = 0)
    {
        int index = 0;
        while (kAcSymbols[index] != symbol) {
            index++;
        }
        b.Bits(static_cast<uint32_t>(index), 8);
        if (symbol & 15) {
            b.Bits(bits, symbol & 15);
        }
        return *this;
    }
    // Loads the stream and runs the stages up to the first scan.
    void Start(JpegDecoder* d)
    {
        b.Flush().Eoi();
        std::memcpy(d->workArea, b.bytes.data(), b.bytes.size());
        d->streamLength = static_cast<ULONG>(b.bytes.size());
        ASSERT_TRUE(ReadImageHeader(d));
        SetUpFrame(d);
        ASSERT_TRUE(StartScan(d));
    }
    Builder b;

private:
    [[maybe_unused]] int rows_;
};

TEST(SequentialScan, ZeroRunOfSixteenAt48PassesAt49Fails)
{
    for (int variant : {48, 49}) {
        PoolDecoder d;
        GreyScan s(1);
        s.Dc(0, 0).Ac(0xF1, 1).Ac(0xF1, 1);
        if (variant == 48) {
            s.Ac(0xE1, 1);  // k: 1 -> 16, 17 -> 32, 33 -> 47, then 48
        } else {
            s.Ac(0xF1, 1);  // k = 49
        }
        s.Ac(0xF0);
        s.Start(d.d);
        DecodeMcuRow(d.d);
        EXPECT_EQ(d->status, variant == 48 ? 0 : JPEG_CORRUPT_DATA) << variant;
        if (variant == 48) {
            EXPECT_EQ(d->zigzagExtent[0], 64);
        }
        DecoderFreeAll(d.d);
    }
}

TEST(SequentialScan, DcProductWrapsToSixteenBits)
{
    PoolDecoder d;
    GreyScan s(1, 255);
    s.Dc(8, 200).Ac(0x00);
    s.Start(d.d);
    DecodeMcuRow(d.d);
    EXPECT_EQ(d->status, 0);
    EXPECT_EQ(d->blockTable[0][0], -14536);
    EXPECT_EQ(d->dcPrediction[0], 200);
    DecoderFreeAll(d.d);
}

TEST(SequentialScan, DcCategoryAbove15IsCorrupt)
{
    PoolDecoder d;
    GreyScan s(1);
    s.Dc(16, 0xFFFF).Ac(0x00);
    s.Start(d.d);
    DecodeMcuRow(d.d);
    EXPECT_EQ(d->status, JPEG_CORRUPT_DATA);
    DecoderFreeAll(d.d);
}

TEST(SequentialScan, ImmediateEndOfBlockClearsWhatThePreviousRowSet)
{
    PoolDecoder d;
    GreyScan s(2, 2);
    s.Dc(2, 3).Ac(0x01, 1).Ac(0x21, 0).Ac(0x00);  // row 0: zz1 = 2, zz4 = -2
    s.Dc(0, 0).Ac(0x00);                          // row 1: DC only
    s.Start(d.d);
    DecodeMcuRow(d.d);
    ASSERT_EQ(d->status, 0);
    SHORT* p = d->blockTable[0];
    EXPECT_EQ(p[0], 6);
    EXPECT_EQ(p[kZigzagToNatural[1]], 2);
    EXPECT_EQ(p[kZigzagToNatural[4]], -2);
    EXPECT_EQ(d->zigzagExtent[0], 5);
    DecodeMcuRow(d.d);
    ASSERT_EQ(d->status, 0);
    EXPECT_EQ(d->zigzagExtent[0], 1);
    EXPECT_EQ(p[0], 6);  // prediction carries over
    for (int i = 1; i < 64; i++) {
        EXPECT_EQ(p[i], 0) << i;
    }
    DecoderFreeAll(d.d);
}

// Restart interval 1 over two MCUs: what stands between them decides.
TEST(SequentialScan, RestartMarkers)
{
    struct Case {
        const char* name;
        Bytes between;
        LONG status;
    } cases[] = {
        {"RST0", {0xFF, 0xD0}, 0},
        {"fill bytes", {0xFF, 0xFF, 0xFF, 0xD0}, 0},
        {"out of sequence", {0xFF, 0xD1}, JPEG_RESTART},
        // The entropy reader has fetched 3 of the junk bytes ahead (48 bits fetched, 19 used)
        // before the restart search counts the rest against its 1536-byte budget.
        {"1535 counted bytes of junk", {}, 0},
        {"1536 counted bytes of junk", {}, JPEG_RESTART},
    };
    for (auto& c : cases) {
        if (c.between.empty()) {
            c.between.assign(std::string(c.name).starts_with("1535") ? 1538 : 1539, 0x11);
            c.between.insert(c.between.end(), {0xFF, 0xD0});
        }
        PoolDecoder d;
        GreyScan s(2, 1, 1);
        s.Dc(3, 5).Ac(0x00);
        s.b.Flush().Raw(c.between);
        s.Dc(3, 6).Ac(0x00);
        s.Start(d.d);
        DecodeMcuRow(d.d);
        ASSERT_EQ(d->status, 0);
        EXPECT_EQ(d->blockTable[0][0], 5);
        DecodeMcuRow(d.d);
        EXPECT_EQ(d->status, c.status) << c.name;
        if (c.status == 0) {
            EXPECT_EQ(d->blockTable[0][0], 6) << c.name;  // prediction restarted at 0
            EXPECT_EQ(d->nextRestart, 1);
        }
        DecoderFreeAll(d.d);
    }
}

}  // namespace
