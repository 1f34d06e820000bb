// The code objects of the module's six function objects. They carry the
// names, arguments, first lines and line tables that introspection and
// tracebacks show for the functions; the module never runs them.
#pragma once

#include <Python.h>

#include "module_state.h"

namespace tovren {

// Makes the six code objects (FunctionId order) into the state's
// `code_objects` slots, replacing what they held. Needs the constant table.
// 0 on success, -1 with an exception set; code objects made before a failure
// stay in their slots.
int make_code_objects(ModuleState& state) noexcept;

// Makes one code object with `argument_count` arguments and the first
// `local_count` names of `local_names` as its locals, named `function_name`
// (also its qualified name) in `file_name`, starting at `first_line`, with
// `line_table` as its location table. Equal local-name tuples are shared
// through `tuple_cache` (a dict). The bytecode is 2 * len(line_table) + 4
// bytes rounded down to a multiple of 4: RESUME (with its inline cache
// entries, if the interpreter has any), a bare raise, then NOPs.
// Returns a new reference, or null with an exception set.
PyObject* make_code_object(int argument_count, int local_count, int flags, int first_line,
                           PyObject* const* local_names, PyObject* file_name,
                           PyObject* function_name, PyObject* line_table,
                           PyObject* tuple_cache) noexcept;

}  // namespace tovren
