// The stored form of the constant table: the compressed block and its length
// table, defined by the source that the build generates from
// constant_table.h (generate_constants.py). Plain data; no Python needed.
//
// The block inflates to every entry of the table back to back, in table
// order: plain texts, interned names, then the line tables of the code
// objects. Entry i occupies kEntryLengths[i] bytes (each below 256).
#pragma once

#include <cstddef>

#include "constant_table.h"

namespace tovren::constant_block {

#define TOVREN_COUNT_STRING_ROW(identifier, text) +1
#define TOVREN_COUNT_LINE_TABLE_ROW(identifier, first_line, units) +1
inline constexpr int kPlainTextEntries = 0 TOVREN_PLAIN_TEXTS(TOVREN_COUNT_STRING_ROW);
inline constexpr int kInternedNameEntries = 0 TOVREN_INTERNED_NAMES(TOVREN_COUNT_STRING_ROW);
inline constexpr int kLineTableEntries = 0 TOVREN_LINE_TABLES(TOVREN_COUNT_LINE_TABLE_ROW);
#undef TOVREN_COUNT_STRING_ROW
#undef TOVREN_COUNT_LINE_TABLE_ROW

inline constexpr int kEntryCount = kPlainTextEntries + kInternedNameEntries + kLineTableEntries;

extern const unsigned char kStoredBlock[];
extern const std::size_t kStoredBlockSize;
extern const unsigned char kEntryLengths[];  // kEntryCount lengths
// The decompressor that reads the block: 1 zlib, 2 bz2, 3 compression.zstd.
extern const int kAlgorithm;

}  // namespace tovren::constant_block
