// Everything that must differ between the builds of the interpreter the
// module is compiled for (default or free-threaded; CPython 3.14 or 3.15),
// kept in one place.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tovren {

// The versions whose facts below were checked against their headers. A new
// version must be checked (above all the inline-cache layout) before it is
// admitted here and in CMakeLists.txt.
static_assert(PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000,
              "built and checked for CPython 3.14 and 3.15 only");

// Inline cache entries (code units) that follow a RESUME instruction in
// bytecode. The counts are the interpreter's own opcode metadata
// (_PyOpcode_Caches), which no public header declares: 3.14 has none, 3.15
// one (a counter the interpreter initialises when it makes the code object).
// A code unit meant as an instruction that lands on a cache entry is read as
// cache, and executing it is a fatal error.
inline constexpr int kResumeCacheEntries = PY_VERSION_HEX >= 0x030F0000 ? 1 : 0;

// What the module declares about the GIL, in its definition slot and at run
// time. The default is that it needs the GIL, so a free-threaded interpreter
// switches the GIL on when it imports the module. A build configured with
// TOVREN_GIL_NOT_USED (CMake -DTOVREN_GIL_NOT_USED=ON) declares instead that
// it runs safely without it, and the GIL stays off.
#ifdef TOVREN_GIL_NOT_USED
#define TOVREN_MOD_GIL Py_MOD_GIL_NOT_USED
#else
#define TOVREN_MOD_GIL Py_MOD_GIL_USED
#endif

// Repeats the declaration at run time (the exec step). Only free-threaded
// builds have (and need) the call; the default build always has the GIL.
inline void declare_gil_use(PyObject* module) noexcept {
#ifdef Py_GIL_DISABLED
  (void)PyUnstable_Module_SetGIL(module, TOVREN_MOD_GIL);
#else
  (void)module;
#endif
}

// An object field of an extension object that readers load without a lock
// while writers replace it. Writers serialise on the owner's critical
// section and store the new value before releasing the old one.
//
// A new reference to the field's value. With the GIL nothing can replace the
// field between the load and the increment. A free-threaded build loads the
// pointer, tries to increment the count (which fails on an object whose count
// already fell to zero) and checks that the field still holds it, as the
// interpreter's own lock-free list and dict reads do; the interpreter keeps
// the memory of a freed object readable as an object for such reads. Should
// that not succeed (a writer is replacing the value at that moment), the
// value is taken inside the critical section.
inline PyObject* load_object_field(PyObject* owner, PyObject** field) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* value = std::atomic_ref<PyObject*>(*field).load(std::memory_order_acquire);
  if (PyUnstable_TryIncRef(value)) {
    if (std::atomic_ref<PyObject*>(*field).load(std::memory_order_acquire) == value) {
      return value;
    }
    Py_DECREF(value);
  }
  Py_BEGIN_CRITICAL_SECTION(owner);
  value = Py_NewRef(*field);
  Py_END_CRITICAL_SECTION();
  return value;
#else
  (void)owner;
  return Py_NewRef(*field);
#endif
}

// Stores `stolen` (a new reference) into the field and releases the previous
// value after leaving the critical section, because the release can run a
// finaliser. A free-threaded build first marks the value so that lock-free
// readers can take references to it (`PyUnstable_TryIncRef`).
inline void store_object_field(PyObject* owner, PyObject** field, PyObject* stolen) noexcept {
  PyObject* previous;
#ifdef Py_GIL_DISABLED
  PyUnstable_EnableTryIncRef(stolen);
  Py_BEGIN_CRITICAL_SECTION(owner);
  previous = *field;
  std::atomic_ref<PyObject*>(*field).store(stolen, std::memory_order_release);
  Py_END_CRITICAL_SECTION();
#else
  (void)owner;
  previous = *field;
  *field = stolen;
#endif
  Py_XDECREF(previous);
}

// Makes `object` immortal by its reference count, so that threads sharing it
// never write the count; the caller's reference is then never released.
// Only for an object that the caller alone references (nobody else may be
// counting on the old value).
inline void set_immortal_refcount(PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
  // The free-threaded runtime reads a local count of UINT32_MAX
  // (4294967295) as immortal: Py_SET_REFCNT stores it in the owning thread's
  // local count, and every incref and decref then skips the object.
  Py_SET_REFCNT(object, static_cast<Py_ssize_t>(_Py_IMMORTAL_REFCNT_LOCAL));
#else
  // The default build reads as immortal any count whose low 32 bits are
  // negative as int32. UINT32_MAX would qualify but sits at the very edge of
  // that range: a Py_REF_DEBUG interpreter takes a count above
  // UINT32_MAX - 2**20 for a freed object and aborts on the first decref,
  // and one plain increment by an extension built for an old stable ABI
  // carries it into a mortal 0. The runtime's own value lies mid-range.
  Py_SET_REFCNT(object, static_cast<Py_ssize_t>(_Py_IMMORTAL_INITIAL_REFCNT));
#endif
}

// The recursion check of a descriptor read on an owner instance. The read
// looks up attributes (`_cache`; `_mgr`, then `axes`) that can resolve to one
// of the module's descriptors again, directly or through the owner's
// `__getattr__`: slot, attribute lookup, slot, with no Python frame in the
// loop, so only the interpreter's C recursion check (`Py_EnterRecursiveCall`
// and `Py_LeaveRecursiveCall` around the read, as its own C slot wrappers
// use them) can end it, with RecursionError.
//
// With the GIL (the default build) a read that starts while no other read is
// in progress anywhere in the process skips the check: it is the outermost
// read of any loop it starts, the reads nested in it are checked, and
// skipping the call keeps the common, unnested read off the hottest paths.
// It claims a process-wide flag for its duration (the GIL orders every
// access); a read that finds the flag claimed, by a read of its own thread
// or of another thread waiting for the GIL, takes the check. At most one
// read in the process runs unchecked at a time, so of a chain of reads
// nested in one another at most one is unchecked. A free-threaded build,
// whose threads may run at once, checks every read rather than share a flag.
//
// The claim is an address on the claiming thread's stack: that of a local of
// the reading frame, which `recursion_checked_read` passes in. It is the
// stack pointer plus an offset: storing it costs that addition (one
// instruction on x86-64) more than storing `true` would, and no call. It is
// only ever compared, never followed.
// A thread that was inside its read (waiting in a getter, say) when another
// thread forked does not exist in the child, and its read never ends there:
// the child's after-fork hook (after_fork.cpp) releases a claim that lies
// outside the forking thread's stack. The forking thread's own claim stays:
// that read goes on in the child and ends there as usual.
//
// `begin_unchecked_read` is true when the caller's read may skip the check;
// the caller then calls `end_unchecked_read` when that read ends.
#ifdef Py_GIL_DISABLED
inline bool begin_unchecked_read(const void* /*reading_frame*/) noexcept { return false; }
inline void end_unchecked_read() noexcept {}
#else
// An address in the frame of the unchecked read in progress, or 0.
inline std::uintptr_t g_unchecked_read_claim = 0;

inline bool begin_unchecked_read(const void* reading_frame) noexcept {
  if (g_unchecked_read_claim != 0) return false;
  g_unchecked_read_claim = reinterpret_cast<std::uintptr_t>(reading_frame);
  return true;
}

inline void end_unchecked_read() noexcept { g_unchecked_read_claim = 0; }
#endif

// Called by a descriptor read on an owner instance. On a free-threaded build
// every read through a class attribute makes the interpreter's attribute
// lookup take and drop a reference to the descriptor; threads sharing it
// would all write its reference count, which deferred reference counting
// spares them, as the interpreter does for functions and types. Deferral has
// a price: from then on only the garbage collector frees the object, so it is
// requested only for a descriptor that is evidently shared, read by a thread
// other than the one that owns its reference count.
//
// That owner is recorded by the interpreter itself: `ob_tid` holds the
// `_Py_ThreadId()` of the thread that allocated the object, whose increments
// and decrements go to the non-atomic local count (biased reference
// counting); `_Py_IsOwnedByCurrentThread`, which the inline `Py_INCREF` and
// `Py_DECREF` of every free-threaded extension use to make that choice,
// compares it with the current thread. Any other thread writes the shared
// count atomically, and that contention is what deferral removes. The
// interpreter clears `ob_tid` when it merges the two counts (the owner's
// local count fell to zero while others held references), which also counts
// as shared. So a descriptor made, read and dropped by one thread keeps
// plain counting and is freed by its count; one unpickled or copied is a new
// object, owned by the thread that rebuilt it; `__init__` on a live
// descriptor changes nothing here (same object, same owner).
//
// Requesting it late, and from another thread, is safe: the request is
// thread-safe and one-way, and the interpreter's stack references to an
// object that was not yet deferred when they were taken hold real
// references that are released as such. A thread that is not the owner
// calls the request on every read (a flag test once it is set).
// Nothing on the default build.
inline void defer_refcount_if_shared(PyObject* descriptor) noexcept {
#ifdef Py_GIL_DISABLED
  if (!_Py_IsOwnedByCurrentThread(descriptor)) {
    (void)PyUnstable_Object_EnableDeferredRefcount(descriptor);
  }
#else
  (void)descriptor;
#endif
}

// Item `index` of an exact list as a new reference, a negative index
// counting once from the end; null with the platform's IndexError when the
// index is outside the list. With the GIL held, nothing can change the list
// between reading the length and reading the item, so the item is taken
// straight from the list's storage. A free-threaded build does so only while
// the caller holds the sole reference to the list. Otherwise it wraps and
// reads inside the list's critical section, as the interpreter's own list
// subscript wraps a negative index: a resize in between cannot fail (or
// misdirect) a read that was valid at the moment it was made, and the read
// never overlaps `list.pop` moving the items (which the list's lock-free
// read does, a race that ThreadSanitizer reports).
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t index) noexcept {
#ifdef Py_GIL_DISABLED
  if (!PyUnstable_Object_IsUniquelyReferenced(list)) {
    PyObject* item = nullptr;
    Py_BEGIN_CRITICAL_SECTION(list);
    if (index < 0) index += PyList_GET_SIZE(list);
    if (index >= 0 && index < PyList_GET_SIZE(list)) item = Py_NewRef(PyList_GET_ITEM(list, index));
    Py_END_CRITICAL_SECTION();
    // Outside the list: the list's own read raises the platform's IndexError.
    return item != nullptr ? item : PyList_GetItemRef(list, index);
  }
#endif
  if (index < 0) index += PyList_GET_SIZE(list);
  if (index >= 0 && index < PyList_GET_SIZE(list)) return Py_NewRef(PyList_GET_ITEM(list, index));
  return PyList_GetItemRef(list, index);
}

}  // namespace tovren
