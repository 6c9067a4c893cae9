// The one value reader: what every call hands in, turned into a copied array of unsigned 64-bit
// values. The list form keeps its own texts; the other forms take any iterable of __index__
// integers or a one-dimensional integer buffer.
#include "zotools_internal.h"

#include <cstring>
#include <type_traits>

namespace zotools {

namespace {

const char values_expected[] = "expected an iterable of non-negative ints or a buffer of integers";

int no_memory() {
    PyErr_NoMemory();
    return -1;
}

int refuse_total() {
    zo_say("Error occured, overflow on input\n");
    PyErr_SetString(PyExc_OverflowError, "the values add up to more than 2**64 - 1");
    return -1;
}

// Grows as items come; the total is checked as they are stored.
class ValueSink {
  public:
    ValueSink(Values &v, bool with_total) : v_(v), with_total_(with_total) {}

    int reserve(size_t capacity) {
        if (capacity == 0) capacity = 1;
        if (capacity > PY_SSIZE_T_MAX / sizeof(uint64_t)) return no_memory();
        v_.copy.reset(static_cast<uint64_t *>(malloc(capacity * sizeof(uint64_t))));
        if (!v_.copy) return no_memory();
        capacity_ = capacity;
        return 0;
    }

    int add(uint64_t value) {
        if (v_.length == capacity_) {
            if (capacity_ > PY_SSIZE_T_MAX / sizeof(uint64_t) / 2) return no_memory();
            void *grown = realloc(v_.copy.get(), 2 * capacity_ * sizeof(uint64_t));
            if (grown == nullptr) return no_memory();
            // realloc released the old block: the owner takes the new one without freeing it.
            (void)v_.copy.release();
            v_.copy.reset(static_cast<uint64_t *>(grown));
            capacity_ *= 2;
        }
        v_.copy.get()[v_.length++] = value;
        if (with_total_ && __builtin_add_overflow(v_.total, value, &v_.total)) return refuse_total();
        return 0;
    }

  private:
    Values &v_;
    bool with_total_;
    size_t capacity_ = 0;
};

// One item's value. `item` is a strong reference: printing the refusal runs Python code, which
// may drop the container's own reference to it.
int item_value(PyObject *item, ValueForms forms, size_t i, uint64_t *out) {
    PyRef index;
    if (!PyLong_Check(item)) {
        if (forms == ValueForms::list_only || !PyIndex_Check(item)) {
            zo_say("Error occured with PyLong_Check\n");
            PyErr_Format(PyExc_TypeError, "%sitem %zu is not an int but %.200s",
                         forms == ValueForms::list_only ? "list " : "", i,
                         Py_TYPE(item)->tp_name);
            return -1;
        }
        index.p = PyNumber_Index(item);
        if (index.p == nullptr) return -1;
        item = index.p;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

// A list read by position, each item held while it is read. Nothing read here runs Python code
// but the refusal, after which reading stops.
int read_list(PyObject *list, bool with_total, Values &v) {
    ValueSink sink(v, with_total);
    if (sink.reserve(static_cast<size_t>(PyList_GET_SIZE(list))) != 0) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        PyObject *borrowed = PyList_GET_ITEM(list, i);
        Py_INCREF(borrowed);
        PyRef item(borrowed);
        uint64_t value;
        if (item_value(item.p, ValueForms::list_only, static_cast<size_t>(i), &value) != 0 ||
            sink.add(value) != 0)
            return -1;
    }
    return 0;
}

// Any iterable; __index__ may run Python code that changes the container, which its own
// iterator copes with.
int read_iterable(PyObject *obj, Values &v) {
    PyRef iterator(PyObject_GetIter(obj));
    if (iterator.p == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        zo_say("Error occured with PyList_Check %d\n", 0);
        PyErr_Format(PyExc_TypeError, "%s, got %.200s", values_expected, Py_TYPE(obj)->tp_name);
        return -1;
    }
    const Py_ssize_t hint = PyObject_LengthHint(obj, 16);
    ValueSink sink(v, true);
    if (hint < 0 || sink.reserve(static_cast<size_t>(hint)) != 0) return -1;
    for (size_t i = 0;; i++) {
        PyRef item(PyIter_Next(iterator.p));
        if (item.p == nullptr) return PyErr_Occurred() ? -1 : 0;
        uint64_t value;
        if (item_value(item.p, ValueForms::any_ints, i, &value) != 0 || sink.add(value) != 0)
            return -1;
    }
}

// How the items of a buffer are laid out, from its struct-module format.
struct IntLayout {
    size_t size = 0;
    bool is_signed = false;
    bool is_bool = false;
    bool swapped = false;  // byte order opposite to this machine's
};

bool int_layout(const char *format, IntLayout *layout) {
    if (format == nullptr) format = "B";
    const bool little_host = PY_LITTLE_ENDIAN;
    bool native = true;
    switch (*format) {
    case '@': format++; break;
    case '=': native = false; format++; break;
    case '<': native = false; layout->swapped = !little_host; format++; break;
    case '>':
    case '!': native = false; layout->swapped = little_host; format++; break;
    default: break;
    }
    if (format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
    case 'b': layout->is_signed = true; [[fallthrough]];
    case 'B': layout->size = 1; return true;
    case '?': layout->is_bool = true; layout->size = 1; return true;
    case 'h': layout->is_signed = true; [[fallthrough]];
    case 'H': layout->size = sizeof(short); return true;
    case 'i': layout->is_signed = true; [[fallthrough]];
    case 'I': layout->size = sizeof(int); return true;
    case 'l': layout->is_signed = true; [[fallthrough]];
    case 'L': layout->size = native ? sizeof(long) : 4; return true;
    case 'q': layout->is_signed = true; [[fallthrough]];
    case 'Q': layout->size = 8; return true;
    case 'n': layout->is_signed = true; [[fallthrough]];
    case 'N': layout->size = sizeof(size_t); return native;
    default: return false;
    }
}

// One item of type U in this machine's byte order; a signed item is sign-extended.
template <typename U> uint64_t load(const unsigned char *bytes, bool is_signed, bool *negative) {
    U v;
    memcpy(&v, bytes, sizeof v);
    if (!is_signed) return v;
    const int64_t s = static_cast<std::make_signed_t<U>>(v);
    *negative = s < 0;
    return static_cast<uint64_t>(s);
}

uint64_t read_item(const unsigned char *p, const IntLayout &layout, bool *negative) {
    unsigned char bytes[8];
    memcpy(bytes, p, layout.size);
    if (layout.swapped) {
        for (size_t a = 0, b = layout.size - 1; a < b; a++, b--) {
            const unsigned char t = bytes[a];
            bytes[a] = bytes[b];
            bytes[b] = t;
        }
    }
    switch (layout.size) {
    case 1: return layout.is_bool ? bytes[0] != 0 : load<uint8_t>(bytes, layout.is_signed, negative);
    case 2: return load<uint16_t>(bytes, layout.is_signed, negative);
    case 4: return load<uint32_t>(bytes, layout.is_signed, negative);
    default: return load<uint64_t>(bytes, layout.is_signed, negative);
    }
}

int read_buffer(PyObject *obj, Values &v) {
    BufferView held;
    if (PyObject_GetBuffer(obj, &held.view, PyBUF_RECORDS_RO) != 0) return -1;
    held.held = true;
    const Py_buffer &view = held.view;
    IntLayout layout;
    if (!int_layout(view.format, &layout) || static_cast<size_t>(view.itemsize) != layout.size) {
        zo_say("Error occured with PyLong_Check\n");
        PyErr_Format(PyExc_TypeError, "%s; got a buffer of format '%.50s'", values_expected,
                     view.format != nullptr ? view.format : "B");
        return -1;
    }
    if (view.ndim != 1) {
        PyErr_Format(PyExc_TypeError, "%s; got a buffer of %d dimensions", values_expected,
                     view.ndim);
        return -1;
    }
    const size_t n = static_cast<size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const auto *base = static_cast<const unsigned char *>(view.buf);
    ValueSink sink(v, true);
    if (sink.reserve(n) != 0) return -1;
    if (layout.size == 8 && !layout.is_signed && !layout.swapped && (stride == 8 || n <= 1)) {
        // Unsigned 64-bit words side by side in this machine's order: one bulk copy.
        if (n > 0) memcpy(v.copy.get(), base, n * sizeof(uint64_t));
        for (size_t i = 0; i < n; i++)
            if (__builtin_add_overflow(v.total, v.copy.get()[i], &v.total)) return refuse_total();
        v.length = n;
        return 0;
    }
    for (size_t i = 0; i < n; i++) {
        bool negative = false;
        const uint64_t value =
            read_item(base + static_cast<Py_ssize_t>(i) * stride, layout, &negative);
        if (negative) {
            PyErr_Format(PyExc_OverflowError, "item %zu is negative: %lld", i,
                         static_cast<long long>(value));
            return -1;
        }
        if (sink.add(value) != 0) return -1;
    }
    return 0;
}

}  // namespace

bool is_word_format(const char *format) {
    IntLayout layout;
    return int_layout(format, &layout) && layout.size == 8 && !layout.is_signed &&
           !layout.swapped && !layout.is_bool;
}

int read_values(PyObject *obj, ValueForms forms, bool with_total, Values &v) {
    v.copy.reset();
    v.length = 0;
    v.total = 0;
    int status;
    if (forms == ValueForms::list_only) {
        if (!PyList_Check(obj)) {
            zo_say("Error occured with PyList_Check %d\n", 0);
            PyErr_Format(PyExc_TypeError, "expected a list of non-negative ints, got %.200s",
                         Py_TYPE(obj)->tp_name);
            return -1;
        }
        status = read_list(obj, with_total, v);
    } else if (PyObject_CheckBuffer(obj)) {
        status = read_buffer(obj, v);
    } else {
        status = read_iterable(obj, v);
    }
    if (status != 0) {
        v.copy.reset();
        v.length = 0;
        v.total = 0;
    }
    return status;
}

int read_target(PyObject *obj, uint64_t *target, bool *beyond) {
    *target = 0;
    *beyond = false;
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "target must be an int, not %.200s", Py_TYPE(obj)->tp_name);
        return -1;
    }
    PyRef index(PyNumber_Index(obj));
    if (index.p == nullptr) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.p, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "target must be a non-negative int");
        return -1;
    }
    if (overflow == 0) {
        *target = static_cast<uint64_t>(v);
        return 0;
    }
    const unsigned long long u = PyLong_AsUnsignedLongLong(index.p);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        *beyond = true;
        return 0;
    }
    *target = u;
    return 0;
}

}  // namespace zotools
