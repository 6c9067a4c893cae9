// Python binding, errors: one failed solve becomes one zox.SolveError (a ConnectionError) with the
// same message, attributes and note in every form; arguments a method cannot take become zox.ArgumentError.
#include "zotools_internal.h"

#include <cstring>

namespace zotools {

namespace {

// zox.ArgumentError: bad arguments are a TypeError, as Python users expect, and a SystemError,
// which callers of the module's first releases caught for them.
PyObject *argument_error = nullptr;
// zox.SolveError: the ConnectionError of a failed solve, a class of its own so that its details
// can be named (and typed) where it is caught.
PyObject *solve_error_type = nullptr;

// Text from the service or from curl: shown as it came, bytes that are no UTF-8 replaced.
PyObject *text_or_none(const char *text) {
    if (text[0] == '\0') Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace");
}

int set_attr(PyObject *obj, const char *name, PyObject *value) {
    PyRef owner(value);
    return value == nullptr ? -1 : PyObject_SetAttrString(obj, name, value);
}

// PEP 678 notes: add_note where the interpreter has it, the __notes__ list before 3.11.
int add_note(PyObject *exc, PyObject *note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyRef done(PyObject_CallMethod(exc, "add_note", "O", note));
    return done.p == nullptr ? -1 : 0;
#else
    PyRef notes(PyList_New(1));
    if (notes.p == nullptr) return -1;
    Py_INCREF(note);
    PyList_SET_ITEM(notes.p, 0, note);
    return PyObject_SetAttrString(exc, "__notes__", notes.p);
#endif
}

}  // namespace

PyObject *solve_error(const char *err_buf, const zo_failure_t *failure) {
    // A service's message may be no UTF-8, or be cut inside a character at 127 bytes.
    PyRef text(PyUnicode_DecodeUTF8(err_buf, static_cast<Py_ssize_t>(strlen(err_buf)), "replace"));
    if (text.p == nullptr) return nullptr;
    PyRef error(PyObject_CallFunctionObjArgs(solve_error_type, text.p, nullptr));
    if (error.p == nullptr) return nullptr;
    zo_failure_t none{};
    none.curl_code = -1;
    const zo_failure_t &f = failure != nullptr ? *failure : none;
    PyObject *curl_code = f.curl_code >= 0 ? PyLong_FromLong(f.curl_code) : Py_None;
    if (curl_code == Py_None) Py_INCREF(Py_None);
    if (set_attr(error.p, "phase", text_or_none(f.phase)) != 0 ||
        set_attr(error.p, "curl_code", curl_code) != 0 ||
        set_attr(error.p, "curl_message", text_or_none(f.curl_words)) != 0 ||
        set_attr(error.p, "service_message", text_or_none(f.service_message)) != 0 ||
        set_attr(error.p, "not_ready_polls", PyLong_FromLong(f.not_ready_polls)) != 0 ||
        set_attr(error.p, "timed_out", PyBool_FromLong(f.deadline_passed)) != 0)
        return nullptr;
    if (f.note[0] != '\0') {
        PyRef note(text_or_none(f.note));
        if (note.p == nullptr || add_note(error.p, note.p) != 0) return nullptr;
    }
    return error.release();
}

PyObject *raise_solve_failure(const char *err_buf, const zo_failure_t *failure) {
    zo_say("Error occured %s\n", err_buf);
    PyRef error(solve_error(err_buf, failure));
    if (error.p != nullptr) PyErr_SetObject(solve_error_type, error.p);
    return nullptr;
}

PyObject *take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

PyObject *result_memory_error(size_t words) {
    return PyErr_Format(PyExc_MemoryError, "the result needs %llu bytes (%llu words of 8 bytes)",
                        static_cast<unsigned long long>(words) * 8,
                        static_cast<unsigned long long>(words));
}

PyObject *parse_failure() {
    zo_say("Error occured with parsing tuple %d\n", 0);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef cause(value), cause_type(type), cause_traceback(traceback);
    if (cause.p != nullptr && traceback != nullptr) PyException_SetTraceback(cause.p, traceback);
    PyRef text(cause.p != nullptr ? PyObject_Str(cause.p) : PyUnicode_FromString("bad arguments"));
    if (text.p == nullptr) return nullptr;
    PyRef error(PyObject_CallFunctionObjArgs(argument_error, text.p, nullptr));
    if (error.p == nullptr) return nullptr;
    if (cause.p != nullptr) {
        Py_INCREF(cause.p);
        PyException_SetCause(error.p, cause.p);  // steals
        Py_INCREF(cause.p);
        PyException_SetContext(error.p, cause.p);  // steals
    }
    PyErr_SetObject(argument_error, error.p);
    return nullptr;
}

int add_solve_error(PyObject *module) {
    if (solve_error_type == nullptr) {
        solve_error_type = PyErr_NewExceptionWithDoc(
            "zox.SolveError",
            "A failed solve: a ConnectionError whose message is the solver's, with what happened "
            "in phase, curl_code, curl_message, service_message, not_ready_polls and timed_out.",
            PyExc_ConnectionError, nullptr);
        if (solve_error_type == nullptr) return -1;
    }
    Py_INCREF(solve_error_type);
    if (PyModule_AddObject(module, "SolveError", solve_error_type) != 0) {
        Py_DECREF(solve_error_type);
        return -1;
    }
    return 0;
}

int add_argument_error(PyObject *module) {
    if (argument_error == nullptr) {
        PyRef bases(PyTuple_Pack(2, PyExc_TypeError, PyExc_SystemError));
        if (bases.p == nullptr) return -1;
        argument_error = PyErr_NewExceptionWithDoc(
            "zox.ArgumentError",
            "Arguments a method cannot take: a TypeError and, for callers that caught what the "
            "interpreter raised for them before, a SystemError.",
            bases.p, nullptr);
        if (argument_error == nullptr) return -1;
    }
    Py_INCREF(argument_error);
    if (PyModule_AddObject(module, "ArgumentError", argument_error) != 0) {
        Py_DECREF(argument_error);
        return -1;
    }
    return 0;
}

}  // namespace zotools
