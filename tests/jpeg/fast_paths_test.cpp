// The decoder's fast paths against its plain ones: the SSE2 inverse DCT, the straight-to-BGR
// colour conversion (SSSE3 and tables), the 10-bit Huffman tables and the row decoder's bit
// reader.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

TEST(FastPaths, InverseDctBlockMatchesThePlainTransform)
{
    std::mt19937 rng(7);
    const int magnitudes[] = {4, 64, 1024, 32768};
    for (int i = 0; i < 20000; i++) {
        const int mag = magnitudes[i % 4];
        std::uniform_int_distribution<int> value(-mag, mag - 1);
        SHORT block[64] = {};
        const int count = 1 + static_cast<int>(rng() % 64);  // sparse to full blocks
        for (int k = 0; k < count; k++) {
            block[rng() % 64] = static_cast<SHORT>(value(rng));
        }
        SHORT plainBlock[64];
        std::memcpy(plainBlock, block, sizeof(block));
        UCHAR plain[64];
        UCHAR fast[64];
        InverseDct(plainBlock, plain);
        InverseDctBlock(block, fast);
        ASSERT_EQ(std::memcmp(plain, fast, 64), 0) << "block " << i;
    }
}

// A decoder set up for one MCU row of the given type over random samples.
struct ConversionCase {
    PoolDecoder d;
    std::vector<UCHAR> samples;
    std::vector<UCHAR> lines[2];
    ConversionCase(LONG type, LONG mcus, std::mt19937& rng)
    {
        static const LONG mcuBytes[] = {64, 192, 256, 256, 384};
        static const LONG mcuWidth[] = {8, 8, 16, 8, 16};
        samples.resize(static_cast<size_t>(mcuBytes[type] * mcus));
        for (auto& s : samples) {
            s = static_cast<UCHAR>(rng());
        }
        for (auto& l : lines) {
            l.assign(static_cast<size_t>(4 * mcuWidth[type] * mcus), 0);
        }
        BuildColourTables(d.d);
        d->samplingType = type;
        d->frameMcusPerRow = mcus;
        d->sampleBuffer = samples.data();
        d->lineBuffers[0] = lines[0].data();
        d->lineBuffers[1] = lines[1].data();
    }
};

TEST(FastPaths, BgrLinesMatchConvertLinesAndTheCopy)
{
    std::mt19937 rng(11);
    for (LONG type = 0; type <= 4; type++) {
        const LONG mcuHeight = type >= 3 ? 16 : 8;
        for (LONG width : {1, 15, 16, 37, 48, 630}) {
            const LONG mcus = (width + (type == 2 || type == 4 ? 15 : 7)) / (type == 2 || type == 4 ? 16 : 8);
            ConversionCase c(type, mcus, rng);
            for (LONG r = 0; r < mcuHeight; r++) {
                ConvertLines(c.d.d, r & ~(type >= 3 ? 1 : 0));
                const UCHAR* line = c.lines[type >= 3 ? (r & 1) : 0].data();
                // One byte of slack each side: nothing outside 3 x width may be written.
                std::vector<UCHAR> expected(static_cast<size_t>(3 * width + 2), 0x5A);
                for (LONG i = 0; i < width; i++) {
                    UCHAR* px = &expected[static_cast<size_t>(1 + 3 * i)];
                    if (type == 0) {
                        px[0] = px[1] = px[2] = line[i];
                    } else {
                        px[0] = line[4 * i + 2];
                        px[1] = line[4 * i + 1];
                        px[2] = line[4 * i];
                    }
                }
                std::vector<UCHAR> plain(expected.size(), 0x5A);
                std::vector<UCHAR> fast(expected.size(), 0x5A);
                ConvertLineBgrPlain(c.d.d, r, plain.data() + 1, width);
                ConvertLineBgr(c.d.d, r, fast.data() + 1, width);
                ASSERT_EQ(plain, expected) << "type " << type << " width " << width << " line " << r;
                ASSERT_EQ(fast, expected) << "type " << type << " width " << width << " line " << r;
            }
        }
    }
}

TEST(FastPaths, BgrConversionOfEveryChromaPair)
{
    // 2x1: each MCU line carries 8 chroma pairs; 8192 MCUs carry all 65,536 of them.
    std::mt19937 rng(3);
    ConversionCase c(2, 8192, rng);
    for (LONG m = 0; m < 8192; m++) {
        for (LONG j = 0; j < 8; j++) {
            const LONG pair = 8 * m + j;
            c.samples[static_cast<size_t>(256 * m + 128 + j)] = static_cast<UCHAR>(pair & 0xFF);
            c.samples[static_cast<size_t>(256 * m + 192 + j)] = static_cast<UCHAR>(pair >> 8);
        }
    }
    const LONG width = 16 * 8192;
    std::vector<UCHAR> plain(static_cast<size_t>(3 * width)), fast(static_cast<size_t>(3 * width));
    ConvertLineBgrPlain(c.d.d, 0, plain.data(), width);
    ConvertLineBgr(c.d.d, 0, fast.data(), width);
    EXPECT_EQ(plain, fast);
}

// For every 10-bit prefix the wide tables answer as HuffmanDecode: same symbol, same bits.
TEST(FastPaths, WideHuffmanTablesAgreeWithTheDecoder)
{
    const Bytes t = CameraTemplate();
    Bytes acCounts(t.begin() + 211 + 5, t.begin() + 211 + 21);
    Bytes acSymbols(t.begin() + 211 + 21, t.begin() + 211 + 183);
    Bytes sparse(16, 0);  // one code "0" for symbol 0x05: "1..." starts no code
    sparse[0] = 1;
    Bytes longOnly(16, 0);  // codes of 9 to 12 bits only: the tree for every hit
    longOnly[8] = 1;
    longOnly[9] = 2;
    longOnly[11] = 3;
    struct {
        Bytes counts;
        Bytes symbols;
    } cases[] = {{acCounts, acSymbols}, {sparse, {0x05}}, {longOnly, {0x11, 0x22, 0x33, 0x00, 0x44, 0x3F}}};
    for (const auto& huffmanCase : cases) {
        for (ULONG prefix = 0; prefix < (1u << kJpegFastHuffmanBits); prefix++) {
            PoolDecoder d;
            // Stream: the prefix, then 0xA5C3 0x5A..., so the bits after the code show where it ended.
            const ULONGLONG stream = (static_cast<ULONGLONG>(prefix) << 54) | (0xA5C35A3CULL << 22);
            Bytes data(4, 0);
            for (int i = 0; i < 8; i++) {
                data.push_back(static_cast<uint8_t>(stream >> (56 - 8 * i)));
                if (data.back() == 0xFF) {
                    data.push_back(0x00);  // stuffed, so it reads as data
                }
            }
            LoadStream(d.d, data);
            d->bitsLeft = 16;
            ReadEntropyBits(d.d, 16);
            ReadEntropyBits(d.d, 16);
            d->huffmanCounts[0] = static_cast<UCHAR*>(DecoderAlloc(d.d, 17));
            d->huffmanSymbols[0] = static_cast<UCHAR*>(DecoderAlloc(d.d, 256));
            std::memcpy(d->huffmanCounts[0] + 1, huffmanCase.counts.data(), 16);
            std::memcpy(d->huffmanSymbols[0], huffmanCase.symbols.data(), huffmanCase.symbols.size());
            auto* table = static_cast<HuffmanTable*>(DecoderAlloc(d.d, sizeof(HuffmanTable)));
            ASSERT_TRUE(BuildHuffmanTable(d.d, 0, table));
            const LONG symbol = HuffmanDecode(d.d, table);
            const ULONG after = ReadEntropyBits(d.d, 16);
            const USHORT entry = table->fast[prefix];
            const LONG value = table->fastValue[prefix];
            if (entry == kJpegFastHuffmanSlow) {
                EXPECT_EQ(value, kJpegFastSlow);
            } else {
                const int used = entry >> 8;
                EXPECT_EQ(entry & 0xFF, symbol) << prefix;
                EXPECT_EQ(after, static_cast<ULONG>(stream >> (48 - used)) & 0xFFFFu) << prefix;
                EXPECT_EQ(value & 0xFF, symbol) << prefix;
                const int size = symbol & 15;
                if (value & kJpegFastValue) {
                    const ULONG raw = static_cast<ULONG>(stream >> (64 - used - size)) & ((1u << size) - 1u);
                    EXPECT_EQ(value >> 16, Extend(raw, size)) << prefix;
                    EXPECT_EQ((value >> 8) & 31, used + size) << prefix;
                } else {
                    EXPECT_TRUE(size == 0 || used + size > kJpegFastHuffmanBits) << prefix;
                    EXPECT_EQ((value >> 8) & 31, used) << prefix;
                }
            }
            DecoderFreeAll(d.d);
        }
    }
}

// DecodeMcuRow as plainly written: the record's bit reader, HuffmanDecode, and clearing of the
// skipped positions below the zigzag extent.
void PlainDecodeMcuRow(JpegDecoder* d)
{
    auto clear = [](SHORT* p, LONG from, LONG to) {
        for (LONG k = from; k < to; k++) {
            p[kZigzagToNatural[k]] = 0;
        }
    };
    LONG r = 0;
    for (LONG m = 0; m < d->scanMcusPerRow; m++) {
        if (d->restartInterval != 0 && d->restartsLeft == 0) {
            ProcessRestart(d);
            if (d->status != 0) {
                return;
            }
        }
        for (LONG i = 0; i < d->scanBlocksPerMcu; i++, r++) {
            const LONG c = d->mcuBlockOrder[i];
            SHORT* p = d->blockTable[r];
            const SHORT* q = d->quantTables[d->componentQuant[c]];
            const LONG s = HuffmanDecode(d, d->huffmanTables[d->scanDcSlot[c]]);
            if (s > 15) {
                SetStatus(d, JPEG_CORRUPT_DATA);
                return;
            }
            if (s > 0) {
                d->dcPrediction[c] += Extend(ReadEntropyBits(d, s), s);
            }
            p[0] = Low16(static_cast<ULONG>(d->dcPrediction[c]) * static_cast<ULONG>(static_cast<LONG>(q[0])));
            const LONG previous = d->zigzagExtent[r];
            LONG k = 1;
            while (k < 64) {
                const LONG rs = HuffmanDecode(d, d->huffmanTables[d->scanAcSlot[c]]);
                const LONG run = rs >> 4;
                const LONG size = rs & 15;
                if (size > 0) {
                    if (k + run > 63) {
                        SetStatus(d, JPEG_CORRUPT_DATA);
                        return;
                    }
                    if (k < previous) {
                        clear(p, k, std::min(k + run, previous));
                    }
                    k += run;
                    const LONG value = Extend(ReadEntropyBits(d, size), size);
                    p[kZigzagToNatural[k]] =
                        Low16(static_cast<ULONG>(value) * static_cast<ULONG>(static_cast<LONG>(q[k])));
                    k++;
                } else if (run == 15) {
                    if (k + 15 > 63) {
                        SetStatus(d, JPEG_CORRUPT_DATA);
                        return;
                    }
                    if (k < previous) {
                        clear(p, k, std::min(k + 16, previous));
                    }
                    k += 16;
                } else {
                    break;
                }
            }
            if (k < previous) {
                clear(p, k, previous);
            }
            d->zigzagExtent[r] = k;
        }
        d->restartsLeft--;
    }
}

// The row decoder's reader fetches ahead from FF-free input and falls back to the record's
// reader elsewhere: row by row it must leave the same coefficients and the same reader and
// input state as the plain decode, over stuffed FFs, long codes, restart markers, markers in
// the data (corrupted bytes), the 4096-byte buffer refills and a stream cut short.
TEST(FastPaths, RowDecoderMatchesThePlainReaderRowByRow)
{
    struct Variant {
        int components;
        int quality;
        int h;
        int restart;
    } variants[] = {{3, 100, 2, 0}, {3, 95, 2, 3}, {1, 100, 1, 1}, {3, 75, 1, 0}};
    std::mt19937 rng(11);
    int cases = 0;
    for (const Variant& v : variants) {
        EncodeOptions options;
        options.quality = v.quality;
        options.h = v.h;
        options.restartInterval = v.restart;
        const Bytes jpeg = Encode(MakeScene(200, 120, v.components, 1, 5), options);
        const size_t scanStart = jpeg.size() - EntropyData(jpeg).size();
        for (int damage = 0; damage < 12; damage++) {
            Bytes stream = jpeg;
            if (damage >= 1 && damage <= 6) {  // a few bytes overwritten: markers, bad codes, bad runs
                for (int i = 0; i < damage; i++) {
                    const size_t at = scanStart + rng() % (stream.size() - scanStart);
                    stream[at] = (i & 1) ? 0xFF : static_cast<uint8_t>(rng());
                }
            } else if (damage > 6) {  // cut short
                stream.resize(scanStart + rng() % (stream.size() - scanStart));
            }
            PoolDecoder fast, plain;
            for (JpegDecoder* d : {fast.d, plain.d}) {
                LoadStream(d, stream);
                ASSERT_TRUE(ReadImageHeader(d));
                SetUpFrame(d);
                ASSERT_TRUE(StartScan(d));
            }
            const LONG rowBlocks = fast->blocksPerMcuRow;
            for (LONG row = 0; row < fast->scanMcusPerColumn; row++) {
                DecodeMcuRow(fast.d);
                PlainDecodeMcuRow(plain.d);
                const std::string where = "variant q" + std::to_string(v.quality) + " damage " +
                                          std::to_string(damage) + " row " + std::to_string(row);
                ASSERT_EQ(fast->status, plain->status) << where;
                ASSERT_EQ(fast->bitBuffer, plain->bitBuffer) << where << " status " << fast->status;
                ASSERT_EQ(fast->bitsLeft, plain->bitsLeft) << where;
                ASSERT_EQ(fast->inputCursor - fast->inputBuffer, plain->inputCursor - plain->inputBuffer) << where;
                ASSERT_EQ(fast->inputLeft, plain->inputLeft) << where;
                ASSERT_EQ(std::memcmp(fast->inputBuffer, plain->inputBuffer, sizeof(fast->inputBuffer)), 0) << where;
                ASSERT_EQ(fast->endOfSourceToggle, plain->endOfSourceToggle) << where;
                ASSERT_EQ(fast->sourceRemaining, plain->sourceRemaining) << where;
                ASSERT_EQ(fast->restartsLeft, plain->restartsLeft) << where;
                ASSERT_EQ(fast->nextRestart, plain->nextRestart) << where;
                if (fast->status != 0) {
                    break;  // the row is not delivered
                }
                ASSERT_EQ(std::memcmp(fast->dcPrediction, plain->dcPrediction, sizeof(fast->dcPrediction)), 0) << where;
                for (LONG i = 0; i < rowBlocks; i++) {
                    ASSERT_EQ(fast->zigzagExtent[i], plain->zigzagExtent[i]) << where << " block " << i;
                    ASSERT_EQ(std::memcmp(fast->blockTable[i], plain->blockTable[i], 64 * sizeof(SHORT)), 0)
                        << where << " block " << i;
                }
            }
            DecoderFreeAll(fast.d);
            DecoderFreeAll(plain.d);
            cases++;
        }
    }
    EXPECT_EQ(cases, 48);
}

}  // namespace
