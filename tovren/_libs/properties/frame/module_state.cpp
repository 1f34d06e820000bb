#include "module_state.h"

namespace tovren {

namespace detail {
ModuleState g_module_state;
}

ModuleState& module_state_for_startup() noexcept { return detail::g_module_state; }

}  // namespace tovren
