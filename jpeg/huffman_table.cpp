// Huffman decoding tables: canonical codes (ITU-T T.81 Annex C) in an 8-bit lookup table with
// a code tree for the longer codes.
#include <cstring>

#include "jpeg/jpeg_internal.h"

// Fills table from the slot's counts and symbols. A specification whose codes over-subscribe
// the code space, or whose long codes need more than the tree's 256 nodes, fails with -200
// (it would place entries outside the lookup or the tree). Returns true on success.
BOOLEAN BuildHuffmanTable(JpegDecoder* d, int slot, HuffmanTable* table)
{
    const UCHAR* counts = d->huffmanCounts[slot];
    const UCHAR* symbols = d->huffmanSymbols[slot];
    std::memset(table, 0, sizeof(*table));
    LONG nextNode = -1;
    ULONG code = 0;
    int p = 0;
    for (int n = 1; n <= 16; n++) {
        for (int i = 0; i < counts[n]; i++, p++, code++) {
            if (code >= (1u << n)) {
                SetStatus(d, JPEG_HUFFMAN_COUNTS);
                return FALSE;
            }
            const UCHAR s = symbols[p];
            table->codeLength[s] = static_cast<UCHAR>(n);
            if (n <= 8) {
                const ULONG span = 1u << (8 - n);
                for (ULONG j = 0; j < span; j++) {
                    table->lookup[code * span + j] = s;
                }
                continue;
            }
            LONG* entry = &table->lookup[code >> (n - 8)];
            for (int bit = n - 9;; bit--) {
                if (*entry == 0) {
                    if (nextNode < -511) {
                        SetStatus(d, JPEG_HUFFMAN_COUNTS);
                        return FALSE;
                    }
                    *entry = nextNode;
                    nextNode -= 2;
                }
                const LONG node = *entry;
                if (node > 0) {  // a prefix-free code never walks through a leaf
                    SetStatus(d, JPEG_HUFFMAN_COUNTS);
                    return FALSE;
                }
                const LONG b = static_cast<LONG>((code >> bit) & 1);
                entry = &table->tree[-node - b];
                if (bit == 0) {
                    break;
                }
            }
            *entry = s;
        }
        code <<= 1;
    }
    // The wider table answers exactly as HuffmanDecode would for every 10-bit prefix that
    // settles the symbol, quirks included (an 8-bit pattern that starts no code reads as
    // symbol 0 with symbol 0's length).
    constexpr int W = kJpegFastHuffmanBits;
    for (ULONG prefix = 0; prefix < (1u << W); prefix++) {
        LONG e = table->lookup[prefix >> (W - 8)];
        USHORT entry = kJpegFastHuffmanSlow;
        if (e >= 0) {
            entry = static_cast<USHORT>((table->codeLength[e] << 8) | e);
        } else {
            for (int used = 9; used <= W; used++) {
                e = table->tree[-e - static_cast<LONG>((prefix >> (W - used)) & 1)];
                if (e >= 0) {
                    entry = static_cast<USHORT>((used << 8) | e);
                    break;
                }
            }
        }
        table->fast[prefix] = entry;
        if (entry == kJpegFastHuffmanSlow) {
            table->fastValue[prefix] = kJpegFastSlow;
            continue;
        }
        const LONG used = entry >> 8;
        const LONG size = entry & 15;
        if (size > 0 && used + size <= W) {
            const ULONG raw = (prefix >> (W - used - size)) & ((1u << size) - 1u);
            const ULONG value = static_cast<ULONG>(Extend(raw, size));
            table->fastValue[prefix] =
                static_cast<LONG>((value << 16) | kJpegFastValue | ((used + size) << 8) | (entry & 0xFF));
        } else {
            table->fastValue[prefix] = entry;
        }
    }
    return TRUE;
}

// Checks that every scan component has the tables this scan needs (-223 when one is
// undefined or its selector names no slot), then builds every defined slot.
VOID PrepareHuffmanTables(JpegDecoder* d)
{
    for (LONG i = 0; i < d->scanComponentCount; i++) {
        const LONG c = d->scanComponents[i];
        const LONG dc = d->scanDcSlot[c];
        const LONG ac = d->scanAcSlot[c];
        if (d->spectralStart == 0 && (dc > 7 || d->huffmanCounts[dc] == nullptr)) {
            SetStatus(d, JPEG_NO_HUFFMAN_TABLE);
            return;
        }
        if (d->spectralEnd > 0 && (ac > 7 || d->huffmanCounts[ac] == nullptr)) {
            SetStatus(d, JPEG_NO_HUFFMAN_TABLE);
            return;
        }
    }
    for (int slot = 0; slot < 8; slot++) {
        if (d->huffmanCounts[slot] == nullptr) {
            continue;
        }
        if (d->huffmanTables[slot] == nullptr) {
            d->huffmanTables[slot] = static_cast<HuffmanTable*>(DecoderAlloc(d, sizeof(HuffmanTable)));
            if (d->huffmanTables[slot] == nullptr) {
                return;
            }
        }
        if (!BuildHuffmanTable(d, slot, d->huffmanTables[slot])) {
            return;
        }
    }
}
