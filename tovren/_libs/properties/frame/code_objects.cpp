#include "code_objects.h"

#include <cstring>

#include "abi_differences.h"
#include "owned_reference.h"

// Opcode numbers (RESUME, CACHE, RAISE_VARARGS, NOP) of the interpreter built against.
// Last, because it defines a macro for every opcode name.
#include <opcode.h>

namespace tovren {

namespace {

inline constexpr int kMaxLocals = 4;

// One code object per function object: its name, argument count and local
// names. First lines come from the line-table rows of constant_table.h.
struct CodeObjectRow {
  Const name;
  int argument_count;
  int local_count;
  Const locals[kMaxLocals];
};

constexpr CodeObjectRow kCodeObjectRows[kFunctionCount] = {
    // CachedProperty.__reduce_cython__
    {Const::reduce_cython, 1, 4, {Const::self, Const::state, Const::local_dict, Const::use_setstate}},
    // CachedProperty.__setstate_cython__
    {Const::setstate_cython, 2, 2, {Const::self, Const::pyx_state}},
    // AxisProperty.__reduce_cython__
    {Const::reduce_cython, 1, 4, {Const::self, Const::state, Const::local_dict, Const::use_setstate}},
    // AxisProperty.__setstate_cython__
    {Const::setstate_cython, 2, 2, {Const::self, Const::pyx_state}},
    // __pyx_unpickle_CachedProperty
    {Const::pyx_unpickle_CachedProperty, 3, 4,
     {Const::pyx_type, Const::pyx_checksum, Const::pyx_state, Const::pyx_result}},
    // __pyx_unpickle_AxisProperty
    {Const::pyx_unpickle_AxisProperty, 3, 4,
     {Const::pyx_type, Const::pyx_checksum, Const::pyx_state, Const::pyx_result}},
};

#define TOVREN_LINE_TABLE_OWNER(function, first_line, units) FunctionId::function,
#define TOVREN_LINE_TABLE_FIRST_LINE(function, first_line, units) first_line,
constexpr FunctionId kLineTableOwners[] = {TOVREN_LINE_TABLES(TOVREN_LINE_TABLE_OWNER)};
constexpr int kFirstLines[] = {TOVREN_LINE_TABLES(TOVREN_LINE_TABLE_FIRST_LINE)};
#undef TOVREN_LINE_TABLE_OWNER
#undef TOVREN_LINE_TABLE_FIRST_LINE

constexpr bool line_tables_in_function_order() {
  for (int i = 0; i < kFunctionCount; ++i) {
    if (static_cast<int>(kLineTableOwners[i]) != i) return false;
  }
  return true;
}
static_assert(sizeof(kLineTableOwners) / sizeof(kLineTableOwners[0]) == kFunctionCount);
static_assert(line_tables_in_function_order(), "line-table rows must follow FunctionId order");

inline constexpr int kCodeFlags = CO_OPTIMIZED | CO_NEWLOCALS;

// The module never runs these code objects, but Python code can build a
// function from one (types.FunctionType) and call it, or have the
// interpreter instrument it (sys.settrace, sys.setprofile, sys.monitoring).
// Both need every code unit to be an instruction or a cache entry of the
// instruction before it: a zero unit is a CACHE entry, and one that belongs
// to no instruction is a fatal error to execute and fails an assertion of a
// debug interpreter when instrumented. So the code starts like a function
// (RESUME, followed by its cache entries, zero as the compiler emits them)
// and raises at once (a bare `raise`: RuntimeError "No active exception to
// reraise"), needing no stack, constants or names; NOPs fill the rest, which
// keeps the length that the line tables were written for. RAISE_VARARGS and
// NOP have no cache entries in any supported version.
constexpr unsigned char kResume[] = {RESUME, 0};
constexpr unsigned char kCacheEntry[] = {CACHE, 0};
constexpr unsigned char kRaise[] = {RAISE_VARARGS, 0};
constexpr unsigned char kFill[] = {NOP, 0};
constexpr Py_ssize_t kCodeUnit = sizeof(kResume);
// RESUME, its cache and the raise fit the shortest bytecode (24 bytes).
static_assert((2 + kResumeCacheEntries) * kCodeUnit <= 24);

PyObject* make_bytecode(Py_ssize_t line_table_length) noexcept {
  Py_ssize_t length = (2 * line_table_length + 4) & ~Py_ssize_t{3};
  PyObject* bytecode = PyBytes_FromStringAndSize(nullptr, length);
  if (bytecode == nullptr) return nullptr;
  char* bytes = PyBytes_AS_STRING(bytecode);
  Py_ssize_t at = 0;
  auto put = [&](const unsigned char (&unit)[kCodeUnit]) {
    std::memcpy(bytes + at, unit, kCodeUnit);
    at += kCodeUnit;
  };
  put(kResume);
  for (int i = 0; i < kResumeCacheEntries; ++i) put(kCacheEntry);
  put(kRaise);
  while (at < length) put(kFill);
  return bytecode;
}

}  // namespace

PyObject* make_code_object(int argument_count, int local_count, int flags, int first_line,
                           PyObject* const* local_names, PyObject* file_name,
                           PyObject* function_name, PyObject* line_table,
                           PyObject* tuple_cache) noexcept {
  const ModuleState& state = module_state();
  OwnedRef made_locals = OwnedRef::steal(PyTuple_New(local_count));
  if (!made_locals) return nullptr;
  for (int i = 0; i < local_count; ++i) {
    PyTuple_SET_ITEM(made_locals.get(), i, Py_NewRef(local_names[i]));
  }
  // Equal local-name tuples are shared: the dict hands back the first one.
  PyObject* shared = nullptr;
  if (PyDict_SetDefaultRef(tuple_cache, made_locals.get(), made_locals.get(), &shared) < 0) {
    return nullptr;
  }
  OwnedRef locals = OwnedRef::steal(shared);
  made_locals.reset();

  OwnedRef bytecode = OwnedRef::steal(make_bytecode(PyBytes_GET_SIZE(line_table)));
  if (!bytecode) return nullptr;
  PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
      argument_count, 0, 0, local_count, 0, flags, bytecode.get(), state.empty_tuple,
      state.empty_tuple, locals.get(), state.empty_tuple, state.empty_tuple, file_name,
      function_name, function_name, first_line, line_table, state.empty_bytes);
  if (code == nullptr) return nullptr;
  // The code starts with RESUME, so tracing may begin at the first unit.
  code->_co_firsttraceable = 0;
  return reinterpret_cast<PyObject*>(code);
}

int make_code_objects(ModuleState& state) noexcept {
  OwnedRef tuple_cache = OwnedRef::steal(PyDict_New());
  if (!tuple_cache) return -1;
  for (int i = 0; i < kFunctionCount; ++i) {
    const CodeObjectRow& row = kCodeObjectRows[i];
    PyObject* local_names[kMaxLocals];
    for (int j = 0; j < row.local_count; ++j) local_names[j] = constant(row.locals[j]);
    PyObject* code = make_code_object(row.argument_count, row.local_count, kCodeFlags,
                                      kFirstLines[i], local_names, constant(Const::stringsource),
                                      constant(row.name), state.line_tables[i], tuple_cache.get());
    if (code == nullptr) return -1;
    replace_field(state.code_objects[i], code);
  }
  return 0;
}

}  // namespace tovren
