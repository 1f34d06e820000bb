// The process-wide module state: one record in static storage, written only
// by the create and exec steps of start-up (which the import system
// serialises) and only read afterwards, from any thread, without locking.
// Every object field holds an owned reference that is never released after a
// successful start-up.
#pragma once

#include <Python.h>

#include <cstdint>

#include "constant_table.h"
#include "traceback_entries.h"

namespace tovren {

// Identifiers of the string constants, in table order: plain texts first,
// then interned names.
enum class Const : int {
#define TOVREN_CONSTANT_ID(identifier, text) identifier,
  TOVREN_PLAIN_TEXTS(TOVREN_CONSTANT_ID) TOVREN_INTERNED_NAMES(TOVREN_CONSTANT_ID)
#undef TOVREN_CONSTANT_ID
};

#define TOVREN_COUNT_CONSTANT(identifier, text) +1
inline constexpr int kPlainTextCount = 0 TOVREN_PLAIN_TEXTS(TOVREN_COUNT_CONSTANT);
inline constexpr int kInternedNameCount = 0 TOVREN_INTERNED_NAMES(TOVREN_COUNT_CONSTANT);
#undef TOVREN_COUNT_CONSTANT
inline constexpr int kStringConstantCount = kPlainTextCount + kInternedNameCount;

// The function objects of the module, in the order start-up makes them; each
// has one code object of the same index.
enum class FunctionId : int {
  CachedProperty_reduce_cython,
  CachedProperty_setstate_cython,
  AxisProperty_reduce_cython,
  AxisProperty_setstate_cython,
  unpickle_CachedProperty,
  unpickle_AxisProperty,
};
inline constexpr int kFunctionCount = 6;

struct ModuleState {
  PyObject* module = nullptr;  // set at the start of exec, cleared if exec fails
  std::int64_t first_interpreter_id = -1;
  PyObject* module_dict = nullptr;  // also the globals of functions and frames
  PyObject* builtins = nullptr;
  PyObject* cython_runtime = nullptr;
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* builtin_type = nullptr;
  PyTypeObject* cached_property_type = nullptr;
  PyTypeObject* axis_property_type = nullptr;
  PyObject* code_objects[kFunctionCount] = {};
  PyObject* strings[kStringConstantCount] = {};
  PyObject* line_tables[kFunctionCount] = {};  // immortal bytes, FunctionId order
  PyObject* int_zero = nullptr;
  PyObject* axis_property_checksum = nullptr;    // 0xd2e4e33
  PyObject* cached_property_checksum = nullptr;  // 0xef86259
  PyTypeObject* function_metatype = nullptr;
  PyTypeObject* function_type = nullptr;
  TracebackCache traceback_cache;
};

// Start-up code writes through this; everything else reads through
// `module_state()`.
ModuleState& module_state_for_startup() noexcept;

namespace detail {
extern ModuleState g_module_state;
}

inline const ModuleState& module_state() noexcept { return detail::g_module_state; }

// The one part of the state that changes after start-up; it has its own
// lock-free protocol (see code_object_cache.h).
inline TracebackCache& traceback_cache() noexcept { return detail::g_module_state.traceback_cache; }

// A string constant (borrowed; lives for the rest of the process).
inline PyObject* constant(Const id) noexcept {
  return detail::g_module_state.strings[static_cast<int>(id)];
}

}  // namespace tovren
