#include "traceback_entries.h"

#include <frameobject.h>

#include "module_state.h"
#include "owned_reference.h"

namespace tovren {

namespace {

// Makes the code object for a site while the current exception is parked,
// because code-object creation must not run with an exception set. The code
// object's first line is the site's line, so a frame running it reports that
// line with no further adjustment.
OwnedRef make_site_code(const FailureSite& site) noexcept {
  PyObject* parked = PyErr_GetRaisedException();
  PyObject* parked_traceback = parked != nullptr ? PyException_GetTraceback(parked) : nullptr;
  OwnedRef code = OwnedRef::steal(
      reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.file, site.function, site.line)));
  if (!code) {
    // The failure to make the entry is what the caller now reports.
    Py_XDECREF(parked_traceback);
    Py_XDECREF(parked);
    return code;
  }
  if (parked != nullptr) {
    PyObject* current_traceback = PyException_GetTraceback(parked);
    if (current_traceback != parked_traceback) PyException_SetTraceback(parked, parked_traceback);
    Py_XDECREF(current_traceback);
  }
  PyErr_SetRaisedException(parked);
  Py_XDECREF(parked_traceback);
  traceback_cache().insert(site, code.get());
  return code;
}

}  // namespace

void add_traceback(const FailureSite& site) noexcept {
  PyThreadState* thread_state = PyThreadState_GetUnchecked();
  PyObject* globals = module_state().module_dict;
  if (globals == nullptr) return;  // start-up has not got far enough to own a namespace
  TracebackCache& cache = traceback_cache();
  OwnedRef code = OwnedRef::steal(cache.find(site));
  if (!code) {
    code = make_site_code(site);
    if (!code) return;
  }
  OwnedRef frame = OwnedRef::steal(reinterpret_cast<PyObject*>(
      PyFrame_New(thread_state, reinterpret_cast<PyCodeObject*>(code.get()),
                  globals, nullptr)));
  if (!frame) return;
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tovren
