// The protocol values the module was built with, as the private dict zox._protocol: a test holds
// them against the table the service reads, so a build from a stale or altered table shows.
#include "zotools_internal.h"

namespace zotools {

namespace {

// Steals `value`.
int put(PyObject *table, const char *name, PyObject *value) {
    PyRef owned(value);
    return owned.p == nullptr ? -1 : PyDict_SetItemString(table, name, owned.p);
}

}  // namespace

int add_protocol(PyObject *module) {
    PyRef table(PyDict_New());
    if (table.p == nullptr) return -1;
#define ZO_PUT_TEXT(name, value) \
    if (put(table.p, #name, PyUnicode_FromString(value)) != 0) return -1;
#define ZO_PUT_INTEGER(name, value) \
    if (put(table.p, #name, PyLong_FromUnsignedLongLong(value)) != 0) return -1;
#define ZO_PUT_NUMBER(name, value) \
    if (put(table.p, #name, PyFloat_FromDouble(value)) != 0) return -1;
    ZO_PROTOCOL_TEXTS(ZO_PUT_TEXT)
    ZO_PROTOCOL_INTEGERS(ZO_PUT_INTEGER)
    ZO_PROTOCOL_NUMBERS(ZO_PUT_NUMBER)
#undef ZO_PUT_TEXT
#undef ZO_PUT_INTEGER
#undef ZO_PUT_NUMBER
    // PyModule_AddObject takes the reference only when it succeeds.
    if (PyModule_AddObject(module, "_protocol", table.p) != 0) return -1;
    table.release();
    return 0;
}

}  // namespace zotools
