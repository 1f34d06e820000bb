// What a forked child does for the module: release the unchecked-read claim
// of a thread that did not survive the fork (abi_differences.h).
#pragma once

#include <Python.h>

namespace tovren {

// Registers the child's hook with `os.register_at_fork(after_in_child=...)`,
// once per process (a failed import retried does not register it again).
// Every fork made through the interpreter (os.fork, os.forkpty,
// multiprocessing's fork start method) runs it in the child, among the other
// `after_in_child` hooks in the order they were registered: hooks registered
// before the module's import run before it and their reads are still
// checked; a read that a hook makes is correct either way. Nothing to
// register where there is no fork (Windows) or no claim (a free-threaded
// build checks every read). Called by the exec step once the module state
// holds its constants. 0, or -1 with an exception set.
int register_after_fork_hook() noexcept;

}  // namespace tovren
