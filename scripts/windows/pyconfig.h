/* CPython's configuration header for Windows, x64 and 32-bit x86, as the
 * Windows compile check (scripts/windows-compile-check) gives it to the
 * installed CPython 3.14 headers in place of the build platform's pyconfig.h.
 *
 * It states the facts a Windows build of CPython fixes for each of the two
 * targets, from the platform's data model (int and long 32 bits and long
 * long 64 on both; size_t and pointers 64 bits on x64, LLP64, and 32 bits on
 * x86, ILP32; wchar_t 2 bytes) and from how python3.14.dll is used by an
 * extension, and only the macros that the headers included by Python.h
 * test. As in CPython's own PC/pyconfig.h, the target is told by _WIN64;
 * the values are written out, not taken from the compiler, so that the
 * check's probe can hold them against the compiler it runs and against the
 * target's data model. Feature switches that only add or remove
 * declarations this project does not use (docstrings, pymalloc and mimalloc
 * allocator names, fork) are left out.
 *
 * Py_GIL_DISABLED, which selects the free-threaded ABI, is left to the
 * command line (-DPy_GIL_DISABLED=1). */
#ifndef TOVREN_WINDOWS_PYCONFIG_H
#define TOVREN_WINDOWS_PYCONFIG_H

/* The facts below hold for Windows only: refuse any other target. */
#if !defined(_WIN32)
#error "this configuration header describes Windows (x64 and x86) only"
#endif

/* Windows: the headers declare the Windows-only API under MS_WINDOWS (the
 * PyErr_SetFromWindowsErr family, PyUnicode_*MBCS*, PyConfig's Windows
 * fields) and skip <unistd.h>. MS_WIN32 (set on every Windows build, 32-bit
 * or 64-bit) and MS_WIN64 (64-bit only) are not tested by the 3.14 headers
 * but are the names extension code tests to tell a Windows build. */
#define MS_WINDOWS
#define MS_WIN32
#if defined(_WIN64)
#define MS_WIN64
#endif

/* Threads are Windows threads, not pthreads: Py_tss_t then holds the TLS
 * index as an unsigned long, as python3.14.dll lays it out, even though
 * mingw-w64 ships a <pthread.h>. */
#define NT_THREADS

/* The interpreter is a DLL: PyAPI_FUNC and PyAPI_DATA become
 * __declspec(dllimport) declarations (so the address of an API object is not
 * a constant expression, as under MSVC) and PyMODINIT_FUNC exports the
 * module's init function. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Sizes of both targets. long stays 32 bits (pyport.h's LONG_MAX and
 * LONG_BIT, the atomics on unsigned long, the PyArg formats for pointers);
 * wchar_t is UTF-16 (Py_UNICODE_SIZE). */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_WCHAR_T 2

/* Py_ssize_t and Py_hash_t: with pointers as wide as size_t and no POSIX
 * ssize_t (HAVE_SSIZE_T undefined), pyport.h makes Py_ssize_t intptr_t, with
 * PY_SSIZE_T_MAX INTPTR_MAX: a signed 64-bit integer on x64, and on x86 a
 * signed 32-bit one, as wide as long. */
#if defined(_WIN64)
#define SIZEOF_SIZE_T 8
#define SIZEOF_VOID_P 8
#else
#define SIZEOF_SIZE_T 4
#define SIZEOF_VOID_P 4
#endif

/* SIZEOF_PID_T stays undefined: Windows process ids are int-sized (the C
 * runtime's _getpid returns int), which is longobject.h's default for
 * PyLong_FromPid and _Py_PARSE_PID. */

#endif /* TOVREN_WINDOWS_PYCONFIG_H */
