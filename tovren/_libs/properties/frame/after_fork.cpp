#include "after_fork.h"

#include "abi_differences.h"
#include "module_state.h"
#include "owned_reference.h"

#if defined(HAVE_FORK) && !defined(Py_GIL_DISABLED)
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

namespace tovren {

#if defined(HAVE_FORK) && !defined(Py_GIL_DISABLED)

namespace {

// The addresses [low, high) of the calling thread's stack that a read of
// this thread in progress can hold its claim in, as far as the system tells;
// false where the system offers no way to ask, or the asking fails. `here`
// is an address in the caller's frame.
//
// Linux: the main thread's stack is the memory mapping labelled "[stack]" in
// /proc/self/maps, a mapping of its own. Other threads' stacks are memory
// the thread library mapped, and neighbouring stacks can share one mapping
// (glibc 2.42 and later install guard pages without splitting the mapping),
// so the mapping does not bound them. Their top does: glibc and musl place a
// thread's descriptor, whose address `pthread_self()` is, just above its
// stack. And a read of this thread in progress is in a frame older than
// this one, above `here` (the stack grows down), so [here, pthread_self())
// holds it. glibc's pthread_getattr_np would tell the bounds, but its symbol
// versions (2.32, 2.34) would bind the module to that glibc.
#if defined(__linux__)
// The address that a thread handle holds: pthread_t is an integer of a
// pointer's width on glibc (unsigned long, which is not uintptr_t's type on
// 32-bit targets, so no reinterpret_cast takes it) and a pointer on musl.
template <typename Handle>
std::uintptr_t handle_address(Handle handle) noexcept {
  if constexpr (std::is_pointer_v<Handle>) {
    return reinterpret_cast<std::uintptr_t>(handle);
  } else {
    static_assert(sizeof(Handle) == sizeof(std::uintptr_t), "a thread handle holds an address");
    return static_cast<std::uintptr_t>(handle);
  }
}

bool current_thread_stack(std::uintptr_t here, std::uintptr_t& low, std::uintptr_t& high) noexcept {
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return false;
  bool found = false;
  bool main_stack = false;
  char line[512];
  while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
    // "start-end perms offset dev inode path", addresses in hexadecimal. A
    // line longer than the buffer is read in pieces; a piece that is not a
    // line's start fails the parse or names no range holding `here`.
    char* end = nullptr;
    const unsigned long long start = std::strtoull(line, &end, 16);
    if (end == line || *end != '-') continue;
    char* after = nullptr;
    const unsigned long long stop = std::strtoull(end + 1, &after, 16);
    if (after == end + 1) continue;
    if (start <= here && here < stop) {
      low = static_cast<std::uintptr_t>(start);
      high = static_cast<std::uintptr_t>(stop);
      main_stack = std::strstr(after, "[stack]") != nullptr;
      found = true;
    }
  }
  std::fclose(maps);
  if (!found || main_stack) return found;
#if defined(_Py_STACK_GROWS_DOWN) && _Py_STACK_GROWS_DOWN
  const std::uintptr_t descriptor = handle_address(pthread_self());
  if (descriptor <= here || descriptor > high) return false;
  low = here;
  high = descriptor;
  return true;
#else
  return false;
#endif
}
#elif defined(__FreeBSD__)
bool current_thread_stack(std::uintptr_t, std::uintptr_t& low, std::uintptr_t& high) noexcept {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  void* address = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_get_np(pthread_self(), &attributes) == 0 &&
                     pthread_attr_getstack(&attributes, &address, &size) == 0;
  (void)pthread_attr_destroy(&attributes);
  if (!known) return false;
  low = reinterpret_cast<std::uintptr_t>(address);
  high = low + size;
  return true;
}
#elif defined(__APPLE__)
bool current_thread_stack(std::uintptr_t, std::uintptr_t& low, std::uintptr_t& high) noexcept {
  // The address macOS reports is the stack's top, its highest address.
  const pthread_t self = pthread_self();
  high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
  low = high - pthread_get_stacksize_np(self);
  return true;
}
#else
bool current_thread_stack(std::uintptr_t, std::uintptr_t&, std::uintptr_t&) noexcept { return false; }
#endif

// Runs in the child, on the stack of the thread that forked, the only thread
// there. A claim is the address of a local of the claiming read's frame
// (abi_differences.h): on the forking thread's stack if that thread claimed
// it, and then the read goes on here and ends as usual; on the stack of a
// thread that does not exist in the child otherwise, a read that never ends
// here, so the claim is released. On the main thread the whole stack counts,
// not only the part above this frame: a thread that switches between stacks
// carved out of its own (greenlets) can hold a claim below the current
// position. A claim released so is harmless: one more read of the chain it
// belongs to skips the check, the reads nested in it take it.
//
// Where the stack's bounds are unknown (no way to ask on this system, the
// call failed, or they do not hold this very frame), the claim stays: every
// read in this child is then checked, which is correct, only slower.
PyObject* after_fork_in_child(PyObject* /*self*/, PyObject* /*unused*/) {
  const std::uintptr_t claim = g_unchecked_read_claim;
  if (claim == 0) Py_RETURN_NONE;
  // Only its address is used: where this frame lies on the stack.
  char this_frame;
  const auto here = reinterpret_cast<std::uintptr_t>(&this_frame);
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  if (current_thread_stack(here, low, high) && low <= here && here < high &&
      (claim < low || claim >= high)) {
    g_unchecked_read_claim = 0;
  }
  Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child_definition = {
    "after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

// `os.register_at_fork` cannot take a hook back, so an import that fails
// after registering it, and is retried, must not register another.
bool g_after_fork_hook_registered = false;

}  // namespace

int register_after_fork_hook() noexcept {
  if (g_after_fork_hook_registered) return 0;
  OwnedRef hook = OwnedRef::steal(PyCFunction_NewEx(&after_fork_in_child_definition, nullptr,
                                                    constant(Const::module_name)));
  if (!hook) return -1;
  OwnedRef os = OwnedRef::steal(PyImport_ImportModule("os"));
  if (!os) return -1;
  OwnedRef register_at_fork = OwnedRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) return -1;
  OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{sO}", "after_in_child", hook.get()));
  if (!keywords) return -1;
  OwnedRef result = OwnedRef::steal(
      PyObject_Call(register_at_fork.get(), module_state().empty_tuple, keywords.get()));
  if (!result) return -1;
  g_after_fork_hook_registered = true;
  return 0;
}

#else

int register_after_fork_hook() noexcept { return 0; }

#endif

}  // namespace tovren
