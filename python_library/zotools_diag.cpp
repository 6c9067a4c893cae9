// Python binding, diagnostics: the library's messages written through sys.stdout, so that
// redirection, capture and notebooks see them in order with Python's own output.
#include "zotools_internal.h"

namespace zotools {

namespace {

// Declines (and the library writes to file descriptor 1 itself) when the interpreter is not
// running or is shutting down. A thread that already holds the interpreter lock takes it again
// without waiting; the exit gate keeps the exit waiting until the message is written.
int write_to_sys_stdout(const char *text, size_t length) {
    if (!Py_IsInitialized() || interpreter_finalizing() || !gate_enter()) return -1;
    const PyGILState_STATE gil = take_lock();
    int status = gate_open() ? 0 : -1;
    // ZO_QUIET is read here, with the lock held, rather than by the printing thread without it.
    if (status == 0 && !zo_diag_quiet()) {
        // A failed argument parse prints with its error pending; the error stays the caller's.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject *out = PySys_GetObject("stdout");  // borrowed
        if (out != nullptr && out != Py_None) {
            Py_INCREF(out);  // the write may replace sys.stdout
            PyRef held(out);
            // Bytes that are not UTF-8 (a peer's raw answer) are shown escaped rather than lost.
            PyRef message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length),
                                               "backslashreplace"));
            PyRef written(message.p ? PyObject_CallMethod(out, "write", "O", message.p) : nullptr);
            PyRef flushed(written.p ? PyObject_CallMethod(out, "flush", nullptr) : nullptr);
            if (flushed.p == nullptr) {
                PyErr_Clear();
                status = written.p == nullptr ? -1 : 0;  // not written: fd 1 gets it instead
            }
        }
        PyErr_Restore(type, value, traceback);
    }
    gate_leave();
    PyGILState_Release(gil);
    return status;
}

}  // namespace

void install_diag_sink() { zo_set_diag_sink(write_to_sys_stdout); }

}  // namespace zotools
