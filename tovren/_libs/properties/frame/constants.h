// Building the module constants at start-up: the string table and line tables
// decoded from the compressed block that the build generates from
// constant_table.h, and the integer constants.
#pragma once

#include <Python.h>

#include <cstddef>

#include "module_state.h"

namespace tovren {

// Decompressor selection of a stored block.
inline constexpr int kAlgorithmZlib = 1;
inline constexpr int kAlgorithmBz2 = 2;
inline constexpr int kAlgorithmZstd = 3;

// A stored table: the compressed block, the length of each entry and the
// decompressor that reads the block. Entries come as plain texts, interned
// names and line tables, as many of each as the state has slots for.
struct StoredTable {
  const unsigned char* block;
  std::size_t block_size;
  const unsigned char* lengths;
  int entry_count;
  int algorithm;
};

// The table compiled into the module.
StoredTable compiled_constant_table() noexcept;

// Inflates `size` bytes at `data` with the decompressor chosen by
// `algorithm` (3 compression.zstd, 2 bz2, any other number zlib). The bytes
// reach the decompressor as a read-only memoryview, not a copy, so they must
// stay valid for as long as it might keep the view (static storage does).
// Runs Python code (imports, the decompressor). Returns a new reference to
// the inflated bytes, or null with an exception set; a decompressor that
// cannot be imported raises ImportError in place of the import's exception.
PyObject* decompress_stored_block(const unsigned char* data, std::size_t size,
                                  int algorithm) noexcept;

// Decodes `stored` into the state's string and line-table slots, then makes
// the integer constants. Every string is hashed up front; the line tables
// and the two checksum integers are made immortal. 0 on success, -1 with an
// exception set. Slots filled before a failure keep their objects. A rebuild
// (a new exec step after a failed one) replaces every slot, except that an
// immortal constant equal to its replacement stays: an immortal object is
// never freed, so swapping it would only leak it.
int build_constant_table_from(ModuleState& state, const StoredTable& stored) noexcept;

// `build_constant_table_from` with the compiled-in table. Runs once per exec
// step.
int build_constant_table(ModuleState& state) noexcept;

}  // namespace tovren
