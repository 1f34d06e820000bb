// Test entry points for the module constants: the decompressor, the table
// build from an arbitrary stored table, a rebuild of this copy's own
// constants (as a new exec step after a failed one does), and the slots.
#include "frame/code_objects.h"
#include "frame/constants.h"
#include "frame/module_state.h"
#include "frame/owned_reference.h"
#include "testing_module.h"

#include <cstddef>
#include <type_traits>

namespace tovren::testing {

namespace {

PyObject* tuple_of(PyObject* const* objects, int count) noexcept {
  PyObject* tuple = PyTuple_New(count);
  if (tuple == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(objects[i]));
  return tuple;
}

// (strings, line tables, integers) of a state, each a tuple.
PyObject* slots_of(const ModuleState& state) noexcept {
  PyObject* integers[] = {state.int_zero, state.axis_property_checksum,
                          state.cached_property_checksum};
  OwnedRef strings = OwnedRef::steal(tuple_of(state.strings, kStringConstantCount));
  OwnedRef line_tables = OwnedRef::steal(tuple_of(state.line_tables, kFunctionCount));
  OwnedRef ints = OwnedRef::steal(tuple_of(integers, 3));
  if (!strings || !line_tables || !ints) return nullptr;
  return PyTuple_Pack(3, strings.get(), line_tables.get(), ints.get());
}

// constant_slots() -> (strings, line_tables, (0, axis checksum, cached checksum))
PyObject* testing_constant_slots(PyObject*, PyObject*) { return slots_of(module_state()); }

// constant_counts() -> (plain texts, interned names, line tables)
PyObject* testing_constant_counts(PyObject*, PyObject*) {
  return Py_BuildValue("(iii)", kPlainTextCount, kInternedNameCount, kFunctionCount);
}

// code_objects() -> the six code objects, FunctionId order.
PyObject* testing_code_objects(PyObject*, PyObject*) {
  return tuple_of(module_state().code_objects, kFunctionCount);
}

// compiled_table() -> (stored block, lengths, algorithm) compiled into the module.
PyObject* testing_compiled_table(PyObject*, PyObject*) {
  StoredTable table = compiled_constant_table();
  return Py_BuildValue("(y#y#i)", reinterpret_cast<const char*>(table.block),
                       static_cast<Py_ssize_t>(table.block_size),
                       reinterpret_cast<const char*>(table.lengths),
                       static_cast<Py_ssize_t>(table.entry_count), table.algorithm);
}

// decompress_block(data: bytes, algorithm: int) -> bytes
PyObject* testing_decompress_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyBytes_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "decompress_block(data: bytes, algorithm: int)");
    return nullptr;
  }
  int algorithm = PyLong_AsInt(args[1]);
  if (algorithm == -1 && PyErr_Occurred()) return nullptr;
  // `data` is the caller's argument and outlives the call.
  return decompress_stored_block(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[0])),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])), algorithm);
}

// Releases what a scratch state's table slots hold; immortal objects stay.
void release_table_slots(ModuleState& state) noexcept {
  for (PyObject*& slot : state.strings) Py_CLEAR(slot);
  for (PyObject*& slot : state.line_tables) Py_CLEAR(slot);
  Py_CLEAR(state.int_zero);
  Py_CLEAR(state.axis_property_checksum);
  Py_CLEAR(state.cached_property_checksum);
}

// build_table(block: bytes, lengths: bytes, algorithm: int) -> slots
// Builds a stored table into a scratch state, as start-up would, and returns
// its slots as constant_slots() does; slots left empty by a failure are
// None. Raises what the build raises, with the partial slots attached to
// the exception as `partial_slots`.
PyObject* testing_build_table(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "build_table(block: bytes, lengths: bytes, algorithm: int)");
    return nullptr;
  }
  int algorithm = PyLong_AsInt(args[2]);
  if (algorithm == -1 && PyErr_Occurred()) return nullptr;
  StoredTable table{reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[0])),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])),
                    reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[1])),
                    static_cast<int>(PyBytes_GET_SIZE(args[1])), algorithm};
  static ModuleState scratch;
  int built = build_constant_table_from(scratch, table);
  PyObject* raised = built < 0 ? PyErr_GetRaisedException() : nullptr;
  // Empty slots read as None in the result.
  ModuleState view;
  for (int i = 0; i < kStringConstantCount; ++i) {
    view.strings[i] = scratch.strings[i] != nullptr ? scratch.strings[i] : Py_None;
  }
  for (int i = 0; i < kFunctionCount; ++i) {
    view.line_tables[i] = scratch.line_tables[i] != nullptr ? scratch.line_tables[i] : Py_None;
  }
  view.int_zero = scratch.int_zero != nullptr ? scratch.int_zero : Py_None;
  view.axis_property_checksum =
      scratch.axis_property_checksum != nullptr ? scratch.axis_property_checksum : Py_None;
  view.cached_property_checksum =
      scratch.cached_property_checksum != nullptr ? scratch.cached_property_checksum : Py_None;
  PyObject* slots = slots_of(view);
  release_table_slots(scratch);
  if (raised == nullptr) return slots;
  if (slots != nullptr && PyObject_SetAttrString(raised, "partial_slots", slots) < 0) {
    Py_DECREF(slots);
    Py_DECREF(raised);
    return nullptr;
  }
  Py_XDECREF(slots);
  PyErr_SetRaisedException(raised);
  return nullptr;
}

// rebuild_constants() -> None: builds this copy's constant table and code
// objects again into its own state, as the exec step after a failed one does.
PyObject* testing_rebuild_constants(PyObject*, PyObject*) {
  ModuleState& state = module_state_for_startup();
  if (build_constant_table(state) < 0 || make_code_objects(state) < 0) return nullptr;
  Py_RETURN_NONE;
}

// The table as the C++ compiler reads constant_table.h, independent of the
// generator's own reading of it.
struct TableRow {
  const char* identifier;
  const char* text;
};
struct LineTableRow {
  const char* identifier;
  int first_line;
  const char* units;
};
#define TOVREN_STRING_ROW(identifier, text) {#identifier, text},
#define TOVREN_LINE_TABLE_ROW(identifier, first_line, units) {#identifier, first_line, units},
constexpr TableRow kPlainRows[] = {TOVREN_PLAIN_TEXTS(TOVREN_STRING_ROW)};
constexpr TableRow kInternedRows[] = {TOVREN_INTERNED_NAMES(TOVREN_STRING_ROW)};
constexpr LineTableRow kLineTableRows[] = {TOVREN_LINE_TABLES(TOVREN_LINE_TABLE_ROW)};
#undef TOVREN_STRING_ROW
#undef TOVREN_LINE_TABLE_ROW

template <typename Row, std::size_t N>
PyObject* rows_tuple(const Row (&rows)[N]) noexcept {
  OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item;
    if constexpr (std::is_same_v<Row, LineTableRow>) {
      item = Py_BuildValue("(sis)", rows[i].identifier, rows[i].first_line, rows[i].units);
    } else {
      item = Py_BuildValue("(ss)", rows[i].identifier, rows[i].text);
    }
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// table_rows() -> (plain rows, interned rows, line-table rows): (identifier,
// text) pairs and (identifier, first line, units) triples.
PyObject* testing_table_rows(PyObject*, PyObject*) {
  OwnedRef plain = OwnedRef::steal(rows_tuple(kPlainRows));
  OwnedRef interned = OwnedRef::steal(rows_tuple(kInternedRows));
  OwnedRef line_tables = OwnedRef::steal(rows_tuple(kLineTableRows));
  if (!plain || !interned || !line_tables) return nullptr;
  return PyTuple_Pack(3, plain.get(), interned.get(), line_tables.get());
}

PyMethodDef constants_methods[] = {
    {"table_rows", testing_table_rows, METH_NOARGS, nullptr},
    {"constant_slots", testing_constant_slots, METH_NOARGS, nullptr},
    {"constant_counts", testing_constant_counts, METH_NOARGS, nullptr},
    {"code_objects", testing_code_objects, METH_NOARGS, nullptr},
    {"compiled_table", testing_compiled_table, METH_NOARGS, nullptr},
    {"decompress_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(testing_decompress_block)),
     METH_FASTCALL, nullptr},
    {"build_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(testing_build_table)),
     METH_FASTCALL, nullptr},
    {"rebuild_constants", testing_rebuild_constants, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_constants_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, constants_methods);
}

}  // namespace tovren::testing
