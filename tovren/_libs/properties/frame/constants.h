// Building the module constants at start-up: the string table, the integer
// constants, and the code objects of the module's function objects.
#pragma once

#include "module_state.h"

namespace tovren {

// Makes every string and integer constant and stores it in its slot of the
// state; 0 on success, -1 with an exception set. Slots filled before a
// failure keep their objects. Runs once per exec step.
int build_constant_table(ModuleState& state) noexcept;

}  // namespace tovren
