// Python binding of the zox solver: the module, its methods and list conversion.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>

#include "../c_library/hdr/zo_lib.h"

namespace {

// Owner of a new reference.
struct PyRef {
    PyObject *p = nullptr;
    PyRef() = default;
    explicit PyRef(PyObject *o) : p(o) {}
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() { Py_XDECREF(p); }
    PyObject *release() {
        PyObject *o = p;
        p = nullptr;
        return o;
    }
};

// Owner of a malloc'ed block.
template <typename T> struct Malloced {
    T *p = nullptr;
    Malloced() = default;
    Malloced(const Malloced &) = delete;
    Malloced &operator=(const Malloced &) = delete;
    ~Malloced() { free(p); }
    T *release() {
        T *o = p;
        p = nullptr;
        return o;
    }
};

// Diagnostics go to C's standard output, flushed at once so they interleave with Python's.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

PyObject *parse_failure() {
    // The argument error stays set: the interpreter reports the result as a SystemError chained
    // to it, which callers may rely on.
    say("Error occured with parsing tuple %d\n", 0);
    Py_RETURN_NONE;
}

}  // namespace

extern "C" {

/* Converts a list of ints into a malloc'ed array of unsigned 64-bit values. Returns 0 on success;
   on failure returns -1 with a Python exception set, prints the message of the failure and leaves
   the array NULL: a non-list (TypeError), a non-int item (TypeError), an int outside 0 .. 2^64 - 1
   (OverflowError), or, when `total_sum` is given, a total past 2^64 - 1 (OverflowError). */
ZO_API int _pull_input_list_from_py_obj(PyObject *inputList, uint64_t **c_input_array,
                                        size_t *input_length, uint64_t *total_sum) {
    *c_input_array = nullptr;
    *input_length = 0;
    if (!PyList_Check(inputList)) {
        say("Error occured with PyList_Check %d\n", 0);
        PyErr_Format(PyExc_TypeError, "expected a list of non-negative ints, got %.200s",
                     Py_TYPE(inputList)->tp_name);
        return -1;
    }
    const Py_ssize_t n = PyList_GET_SIZE(inputList);
    Malloced<uint64_t> array;
    array.p = static_cast<uint64_t *>(malloc((n > 0 ? static_cast<size_t>(n) : 1) * sizeof(uint64_t)));
    if (array.p == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    uint64_t total = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(inputList, i);
        if (!PyLong_Check(item)) {
            say("Error occured with PyLong_Check\n");
            PyErr_Format(PyExc_TypeError, "list item %zd is not an int but %.200s", i,
                         Py_TYPE(item)->tp_name);
            return -1;
        }
        const unsigned long long v = PyLong_AsUnsignedLongLong(item);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        array.p[i] = v;
        if (total_sum != nullptr && __builtin_add_overflow(total, v, &total)) {
            say("Error occured, overflow on input\n");
            PyErr_SetString(PyExc_OverflowError, "the values add up to more than 2**64 - 1");
            return -1;
        }
    }
    if (total_sum != nullptr) *total_sum = total;
    *input_length = static_cast<size_t>(n);
    *c_input_array = array.release();
    return 0;
}

ZO_API PyObject *_generate_result_list_from_c_buf(const uint64_t *result_buffer,
                                                  size_t result_buffer_size) {
    if (result_buffer_size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(result_buffer_size)));
    if (list.p == nullptr) return nullptr;
    for (size_t i = 0; i < result_buffer_size; i++) {
        PyObject *word = PyLong_FromUnsignedLongLong(result_buffer[i]);
        if (word == nullptr) return nullptr;
        PyList_SET_ITEM(list.p, static_cast<Py_ssize_t>(i), word);
    }
    return list.release();
}

ZO_API PyObject *webinterface_complete_subset_sum(PyObject *, PyObject *args) {
    PyObject *values;
    if (!PyArg_ParseTuple(args, "O", &values)) return parse_failure();

    Malloced<uint64_t> input;
    size_t input_length = 0;
    uint64_t total = 0;
    if (_pull_input_list_from_py_obj(values, &input.p, &input_length, &total) != 0) return nullptr;

    // Zeroed, so that no word a solver leaves unwritten reaches Python as stale memory.
    size_t result_buffer_size = static_cast<size_t>(total / 64 + 1);
    Malloced<uint64_t> result_buffer;
    result_buffer.p = static_cast<uint64_t *>(calloc(result_buffer_size, sizeof(uint64_t)));
    if (result_buffer.p == nullptr) return PyErr_NoMemory();

    char err_buf[128] = {0};
    zo_status_t status;
    // The solve touches only the buffers above, so other Python threads may run meanwhile.
    Py_BEGIN_ALLOW_THREADS
    status = fetch_complete_subset_sum(input.p, input_length, result_buffer.p, &result_buffer_size,
                                       err_buf);
    Py_END_ALLOW_THREADS
    free(input.release());

    if (status != 0) {
        say("Error occured %s\n", err_buf);
        PyErr_SetString(PyExc_ConnectionError, err_buf);
        return nullptr;
    }
    return _generate_result_list_from_c_buf(result_buffer.p, result_buffer_size);
}

ZO_API PyObject *webinterface_complete_subset_sum_async(PyObject *, PyObject *args) {
    PyObject *values, *callback;
    if (!PyArg_ParseTuple(args, "OO", &values, &callback)) return parse_failure();
    PyErr_SetString(PyExc_NotImplementedError, "complete_subset_sum_async is not available yet");
    return nullptr;
}

ZO_API PyObject *webinterface_subset_sum_result_check(PyObject *, PyObject *args) {
    PyObject *result;
    unsigned long long index;
    if (!PyArg_ParseTuple(args, "OK", &result, &index)) return parse_failure();
    PyErr_SetString(PyExc_NotImplementedError, "subset_sum_result_check is not available yet");
    return nullptr;
}

static PyMethodDef ZOXMethods[] = {
    {"complete_subset_sum", webinterface_complete_subset_sum, METH_VARARGS,
     "Run complete subset sum"},
    {"complete_subset_sum_async", webinterface_complete_subset_sum_async, METH_VARARGS,
     "Run complete subset sum"},
    {"subset_sum_result_check", webinterface_subset_sum_result_check, METH_VARARGS,
     "Check for a specific int in the results of subset sum"},
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef zox = {
    PyModuleDef_HEAD_INIT, "zox", nullptr, -1, ZOXMethods, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_zox(void) { return PyModule_Create2(&zox, 1013); }

}  // extern "C"
