#include "constants.h"

#include "abi_differences.h"
#include "constant_block.h"
#include "owned_reference.h"

namespace tovren {

namespace {

static_assert(constant_block::kPlainTextEntries == kPlainTextCount);
static_assert(constant_block::kInternedNameEntries == kInternedNameCount);
static_assert(constant_block::kLineTableEntries == kFunctionCount,
              "one line table per code object");
inline constexpr int kTableEntryCount = kStringConstantCount + kFunctionCount;

inline constexpr long kAxisPropertyChecksum = 0xd2e4e33;    // 221138483
inline constexpr long kCachedPropertyChecksum = 0xef86259;  // 251159129

// Makes `object` immortal when its constant slot holds the only reference.
// An object that is shared already (a cached small int, an interned
// singleton) is left as it is.
void make_immortal_if_unique(PyObject* object) noexcept {
  if (PyUnstable_Object_IsUniquelyReferenced(object)) set_immortal_refcount(object);
}

// Stores `made` (stolen) in `slot`, except when the slot already holds an
// immortal object equal to it: that one stays and `made` is dropped, since
// an immortal object is never freed and replacing it would leak it.
int store_constant(PyObject*& slot, PyObject* made) noexcept {
  if (slot != nullptr && PyUnstable_IsImmortal(slot) && Py_TYPE(slot) == Py_TYPE(made)) {
    int equal = PyObject_RichCompareBool(slot, made, Py_EQ);
    if (equal < 0) {
      Py_DECREF(made);
      return -1;
    }
    if (equal) {
      Py_DECREF(made);
      return 0;
    }
  }
  replace_field(slot, made);
  return 0;
}

void raise_decompressor_missing(const char* module_name, int algorithm) noexcept {
  // The ImportError replaces the import's (or attribute read's) own
  // exception: it is neither the cause nor the context, so a printed
  // traceback shows the one message.
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError,
               "Failed to import '%.20s.decompress' - cannot initialise module strings. "
               "String compression was configured with algorithm number %d.",
               module_name, algorithm);
}

// Cuts the inflated bytes into the state's string and line-table slots.
int cut_entries(ModuleState& state, const StoredTable& stored, PyObject* inflated) noexcept {
  const char* cursor = PyBytes_AS_STRING(inflated);
  for (int i = 0; i < kStringConstantCount; ++i) {
    Py_ssize_t length = stored.lengths[i];
    PyObject* text = PyUnicode_DecodeUTF8(cursor, length, "strict");
    if (text == nullptr) return -1;
    if (i >= kPlainTextCount) PyUnicode_InternInPlace(&text);
    replace_field(state.strings[i], text);
    cursor += length;
  }
  for (int i = 0; i < kFunctionCount; ++i) {
    Py_ssize_t length = stored.lengths[kStringConstantCount + i];
    PyObject* line_table = PyBytes_FromStringAndSize(cursor, length);
    if (line_table == nullptr || store_constant(state.line_tables[i], line_table) < 0) return -1;
    cursor += length;
  }
  return 0;
}

int make_integer(PyObject*& slot, long value) noexcept {
  PyObject* made = PyLong_FromLong(value);
  if (made == nullptr) return -1;
  return store_constant(slot, made);
}

}  // namespace

StoredTable compiled_constant_table() noexcept {
  return StoredTable{constant_block::kStoredBlock, constant_block::kStoredBlockSize,
                     constant_block::kEntryLengths, constant_block::kEntryCount,
                     constant_block::kAlgorithm};
}

PyObject* decompress_stored_block(const unsigned char* data, std::size_t size,
                                  int algorithm) noexcept {
  const char* module_name = algorithm == kAlgorithmZstd  ? "compression.zstd"
                            : algorithm == kAlgorithmBz2 ? "bz2"
                                                         : "zlib";
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "stored block too large");
    return nullptr;
  }
  OwnedRef function_name = OwnedRef::steal(PyUnicode_FromString("decompress"));
  if (!function_name) return nullptr;
  OwnedRef module;
  if (algorithm == kAlgorithmZstd) {
    // With a from-list the import returns the submodule itself rather than
    // the top-level package.
    OwnedRef from_list = OwnedRef::steal(Py_BuildValue("[O]", function_name.get()));
    if (from_list) {
      module = OwnedRef::steal(
          PyImport_ImportModuleLevel(module_name, nullptr, nullptr, from_list.get(), 0));
    }
  } else {
    module = OwnedRef::steal(PyImport_ImportModule(module_name));
  }
  OwnedRef decompress;
  if (module) decompress = OwnedRef::steal(PyObject_GetAttr(module.get(), function_name.get()));
  if (!decompress) {
    raise_decompressor_missing(module_name, algorithm);
    return nullptr;
  }
  // Read-only and without a copy; the exporter is the caller's storage.
  OwnedRef view = OwnedRef::steal(PyMemoryView_FromMemory(
      reinterpret_cast<char*>(const_cast<unsigned char*>(data)), static_cast<Py_ssize_t>(size),
      PyBUF_READ));
  if (!view) return nullptr;
  // Released in reverse order of making: the view, the function, the module
  // and the name.
  return PyObject_CallFunctionObjArgs(decompress.get(), view.get(), nullptr);
}

int build_constant_table_from(ModuleState& state, const StoredTable& stored) noexcept {
  if (stored.entry_count != kTableEntryCount) {
    PyErr_Format(PyExc_SystemError,
                 "constant table holds %d entries, the module has %d slots for them",
                 stored.entry_count, kTableEntryCount);
    return -1;
  }
  OwnedRef inflated =
      OwnedRef::steal(decompress_stored_block(stored.block, stored.block_size, stored.algorithm));
  if (!inflated) return -1;
  if (!PyBytes_Check(inflated.get())) {
    PyErr_Format(PyExc_TypeError, "cannot initialise module strings: decompress() returned %.200s, not bytes",
                 Py_TYPE(inflated.get())->tp_name);
    return -1;
  }
  // The lengths must account for every inflated byte and no more, so that
  // cutting the entries never reads past the end of a corrupt block.
  Py_ssize_t expected = 0;
  for (int i = 0; i < stored.entry_count; ++i) expected += stored.lengths[i];
  if (PyBytes_GET_SIZE(inflated.get()) != expected) {
    PyErr_Format(PyExc_ValueError,
                 "cannot initialise module strings: the block inflates to %zd bytes, "
                 "its length table to %zd",
                 PyBytes_GET_SIZE(inflated.get()), expected);
    return -1;
  }
  if (cut_entries(state, stored, inflated.get()) < 0) return -1;
  inflated.reset();

  // Hashed before any other thread can see them, so no reader ever computes
  // (and writes) a hash later.
  for (PyObject* text : state.strings) {
    if (PyObject_Hash(text) == -1) return -1;
  }
  for (PyObject* line_table : state.line_tables) {
    if (PyObject_Hash(line_table) == -1) return -1;
  }
  for (PyObject* line_table : state.line_tables) make_immortal_if_unique(line_table);

  if (make_integer(state.int_zero, 0) < 0) return -1;
  if (make_integer(state.axis_property_checksum, kAxisPropertyChecksum) < 0) return -1;
  if (make_integer(state.cached_property_checksum, kCachedPropertyChecksum) < 0) return -1;
  make_immortal_if_unique(state.axis_property_checksum);
  make_immortal_if_unique(state.cached_property_checksum);
  return 0;
}

int build_constant_table(ModuleState& state) noexcept {
  return build_constant_table_from(state, compiled_constant_table());
}

}  // namespace tovren
