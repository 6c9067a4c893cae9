// Python binding, result forms: the result list, the result as an array written in place by the
// solve, and the awaitable solve.
#include "zotools_internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace zotools {

namespace {

constexpr size_t huge_page_bytes = size_t{2} << 20;
// Below this a buffer has few pages; the hint would only split the mapping.
constexpr size_t huge_page_hint_from = 2 * huge_page_bytes;

// Asks for huge pages on the whole pages inside a buffer that has not been touched yet: its first
// writes then cost one page fault per 2 MiB instead of per 4 KiB, which is most of the cost of
// filling a large fresh buffer.
void advise_huge_pages(void *p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (p == nullptr || bytes < huge_page_hint_from) return;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / page * page;
    // A hint: when the kernel declines, the pages are simply small.
    if (end > begin) (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Adds `n` references to `o` at once, for a run of list items that share it.
void add_references(PyObject *o, size_t n) {
#if defined(Py_REF_DEBUG) || defined(Py_GIL_DISABLED) || PY_VERSION_HEX < 0x03090000
    for (size_t k = 0; k < n; k++) Py_INCREF(o);
#else
    Py_SET_REFCNT(o, Py_REFCNT(o) + static_cast<Py_ssize_t>(n));
#endif
}

// Turns result words into list items. The words may lie in the item slots themselves: each block
// is copied out before its slots are written. Dense results are long runs of all-ones words,
// sparse ones of zeros: a run is found by comparing words and filled with one int object.
// All-ones words share one int across runs; zero is the interpreter's own small int.
class ItemFiller {
  public:
    // Fills items[0, count) from `words`; false with the exception set after a failed int: then
    // items[0, filled()) hold their ints and the rest are as they were.
    bool fill(PyObject **items, const void *words, size_t count, ResultWords *release_behind) {
        constexpr size_t release_every = size_t{1} << 16;
        uint64_t block[block_words];
        const auto *bytes = static_cast<const unsigned char *>(words);
        for (size_t start = 0; start < count; start += block_words) {
            const size_t n = count - start > block_words ? block_words : count - start;
            memcpy(block, bytes + start * sizeof(uint64_t), n * sizeof(uint64_t));
            if (!fill_block(items + start, block, n, start)) return false;
            if (release_behind != nullptr && (filled_ % release_every == 0 || filled_ == count))
                release_behind->release_before(filled_);
        }
        return true;
    }

    size_t filled() const { return filled_; }

  private:
    static constexpr size_t block_words = 512;

    bool fill_block(PyObject **items, const uint64_t *words, size_t end, size_t base) {
        size_t i = 0;
        while (i < end) {
            const uint64_t value = words[i];
            PyObject *word;
            size_t added;  // references the object already has for this run
            if (previous_ != nullptr && value == previous_value_) {
                word = previous_;
                added = 0;
            } else if (value == UINT64_MAX) {
                if (all_ones_.p == nullptr) {
                    all_ones_.p = PyLong_FromUnsignedLongLong(value);
                    if (all_ones_.p == nullptr) return false;
                }
                word = all_ones_.p;
                added = 0;
            } else {
                word = PyLong_FromUnsignedLongLong(value);
                if (word == nullptr) return false;
                added = 1;  // the new reference is the first item's
            }
            // Scanned and filled four words at a time: long runs are the common case.
            size_t k = i;
            for (; end - k >= 4; k += 4) {
                if (((words[k] ^ value) | (words[k + 1] ^ value) | (words[k + 2] ^ value) |
                     (words[k + 3] ^ value)) != 0)
                    break;
                items[k] = items[k + 1] = items[k + 2] = items[k + 3] = word;
            }
            for (; k < end && words[k] == value; k++) items[k] = word;
            add_references(word, k - i - added);
            previous_ = word;
            previous_value_ = value;
            i = k;
            filled_ = base + k;
        }
        return true;
    }

    PyRef all_ones_;
    PyObject *previous_ = nullptr;  // borrowed from the items
    uint64_t previous_value_ = 0;
    size_t filled_ = 0;
};

PyObject **list_items(PyObject *list) { return reinterpret_cast<PyListObject *>(list)->ob_item; }

// A list whose item slots hold result words until they are turned into ints. The collector
// does not see it meanwhile, and on failure the slots not yet turned are cleared before it goes.
class WordSlotList {
  public:
    bool create(size_t count) {
        if (count <= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *))
            list_.p = PyList_New(static_cast<Py_ssize_t>(count));  // slots zeroed: zero words
        if (list_.p == nullptr) {
            if (count <= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *) &&
                !PyErr_ExceptionMatches(PyExc_MemoryError))
                return false;
            PyErr_Clear();
            zox_result_memory_error(count);
            return false;
        }
        PyObject_GC_UnTrack(list_.p);
        count_ = count;
        converted_ = 0;
        advise_huge_pages(list_items(list_.p), count * sizeof(PyObject *));
        return true;
    }

    uint64_t *words() { return reinterpret_cast<uint64_t *>(list_items(list_.p)); }

    // The first `words` slots as ints, the list cut to them.
    PyObject *convert(size_t words) {
        ItemFiller filler;
        const bool ok = filler.fill(list_items(list_.p), list_items(list_.p), words, nullptr);
        converted_ = filler.filled();
        if (!ok) return nullptr;
        clear_unconverted();
        PyObject_GC_Track(list_.p);
        PyObject *list = list_.release();
        if (words < count_ && PyList_SetSlice(list, static_cast<Py_ssize_t>(words),
                                              static_cast<Py_ssize_t>(count_), nullptr) != 0) {
            Py_DECREF(list);
            return nullptr;
        }
        return list;
    }

    WordSlotList() = default;
    WordSlotList(const WordSlotList &) = delete;
    WordSlotList &operator=(const WordSlotList &) = delete;
    ~WordSlotList() {
        if (list_.p != nullptr) clear_unconverted();
    }

  private:
    void clear_unconverted() {
        memset(list_items(list_.p) + converted_, 0, (count_ - converted_) * sizeof(PyObject *));
        converted_ = count_;
    }

    PyRef list_;
    size_t count_ = 0;
    size_t converted_ = 0;
};

}  // namespace

PyObject *result_list(const uint64_t *words, size_t count, ResultWords *release_behind) {
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *)) return PyErr_NoMemory();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (list.p == nullptr) return nullptr;
    advise_huge_pages(list_items(list.p), count * sizeof(PyObject *));
    ItemFiller filler;
    if (!filler.fill(list_items(list.p), words, count, release_behind)) return nullptr;
    return list.release();
}

PyObject *solve_into_list(SyncSolve *solve, size_t count) {
    WordSlotList list;
    if (!list.create(count)) return nullptr;
    solve->into = list.words();
    solve->into_count = count;
    // Local: it always finishes here, so the slots are never written after this call.
    run_sync_solve(solve);
    if (raise_for_failed_solve(solve) != 0) return nullptr;
    return list.convert(solve->into_count < count ? solve->into_count : count);
}

namespace {

const char values_expected[] = "expected an iterable of non-negative ints or a buffer of integers";

// ---------------------------------------------------------------------------------------------
// Values of a solve from any iterable of ints or any buffer of integers.

// The values of a solve, in a malloc'ed array of their own. A buffer is never handed to the solve
// in place: the solve runs without the interpreter lock, another thread could write the buffer
// meanwhile, and the solver reads the values more than once (a value that grew between two reads
// would index past a table sized by the first).
struct Values {
    Malloced<uint64_t> copy;
    size_t length = 0;
    uint64_t total = 0;
};

int no_memory() {
    PyErr_NoMemory();
    return -1;
}

int refuse_total() {
    zo_say("Error occured, overflow on input\n");
    PyErr_SetString(PyExc_OverflowError, "the values add up to more than 2**64 - 1");
    return -1;
}

int refuse_item(Py_ssize_t i, PyObject *item) {
    zo_say("Error occured with PyLong_Check\n");
    PyErr_Format(PyExc_TypeError, "item %zd is not an int but %.200s", i, Py_TYPE(item)->tp_name);
    return -1;
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
    uint64_t u = 0;
    int64_t s = 0;
    switch (layout.size) {
    case 1: {
        uint8_t v;
        memcpy(&v, bytes, 1);
        if (layout.is_bool) return v != 0;
        u = v;
        s = static_cast<int8_t>(v);
        break;
    }
    case 2: {
        uint16_t v;
        memcpy(&v, bytes, 2);
        u = v;
        s = static_cast<int16_t>(v);
        break;
    }
    case 4: {
        uint32_t v;
        memcpy(&v, bytes, 4);
        u = v;
        s = static_cast<int32_t>(v);
        break;
    }
    default: {
        memcpy(&u, bytes, 8);
        s = static_cast<int64_t>(u);
        break;
    }
    }
    if (!layout.is_signed) return u;
    *negative = s < 0;
    return static_cast<uint64_t>(s);
}

// A held buffer view, released on scope exit.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    BufferView() = default;
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() { release(); }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
};

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
    v.copy.p = static_cast<uint64_t *>(malloc((n > 0 ? n : 1) * sizeof(uint64_t)));
    if (v.copy.p == nullptr) return no_memory();
    uint64_t total = 0;
    if (layout.size == 8 && !layout.is_signed && !layout.swapped && (stride == 8 || n <= 1)) {
        // Unsigned 64-bit words side by side in this machine's order: one bulk copy.
        if (n > 0) memcpy(v.copy.p, base, n * sizeof(uint64_t));
        for (size_t i = 0; i < n; i++)
            if (__builtin_add_overflow(total, v.copy.p[i], &total)) return refuse_total();
    } else {
        for (size_t i = 0; i < n; i++) {
            bool negative = false;
            const uint64_t value =
                read_item(base + static_cast<Py_ssize_t>(i) * stride, layout, &negative);
            if (negative) {
                PyErr_Format(PyExc_OverflowError, "item %zu is negative: %lld", i,
                             static_cast<long long>(value));
                return -1;
            }
            v.copy.p[i] = value;
            if (__builtin_add_overflow(total, value, &total)) return refuse_total();
        }
    }
    v.length = n;
    v.total = total;
    return 0;
}

int read_iterable(PyObject *obj, Values &v) {
    PyRef iterator(PyObject_GetIter(obj));
    if (iterator.p == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        zo_say("Error occured with PyList_Check %d\n", 0);
        PyErr_Format(PyExc_TypeError, "%s, got %.200s", values_expected, Py_TYPE(obj)->tp_name);
        return -1;
    }
    Py_ssize_t hint = PyObject_LengthHint(obj, 16);
    if (hint < 0) return -1;
    size_t capacity = hint > 0 ? static_cast<size_t>(hint) : 1;
    if (capacity > PY_SSIZE_T_MAX / sizeof(uint64_t)) return no_memory();
    v.copy.p = static_cast<uint64_t *>(malloc(capacity * sizeof(uint64_t)));
    if (v.copy.p == nullptr) return no_memory();
    size_t n = 0;
    uint64_t total = 0;
    for (;;) {
        PyRef item(PyIter_Next(iterator.p));
        if (item.p == nullptr) {
            if (PyErr_Occurred()) return -1;
            break;
        }
        if (!PyLong_Check(item.p)) return refuse_item(static_cast<Py_ssize_t>(n), item.p);
        const unsigned long long value = PyLong_AsUnsignedLongLong(item.p);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        if (n == capacity) {
            if (capacity > PY_SSIZE_T_MAX / sizeof(uint64_t) / 2) return no_memory();
            void *grown = realloc(v.copy.p, 2 * capacity * sizeof(uint64_t));
            if (grown == nullptr) return no_memory();
            v.copy.p = static_cast<uint64_t *>(grown);
            capacity *= 2;
        }
        v.copy.p[n++] = value;
        if (__builtin_add_overflow(total, static_cast<uint64_t>(value), &total))
            return refuse_total();
    }
    v.length = n;
    v.total = total;
    return 0;
}

// Reads the values of a solve with the same refusals as complete_subset_sum.
int read_values(PyObject *obj, Values &v) {
    if (PyList_Check(obj))
        return _pull_input_list_from_py_obj(obj, &v.copy.p, &v.length, &v.total) != 0 ? -1 : 0;
    if (PyObject_CheckBuffer(obj)) return read_buffer(obj, v);
    return read_iterable(obj, v);
}

// ---------------------------------------------------------------------------------------------
// The result as array('Q'), written in place by the solve.

// Hands each block the interpreter's own allocator gives out the huge-page hint before anything
// writes to it. It wraps the current allocator only for the length of one call that runs no Python
// code (the collector is off meanwhile), so no other thread ever sees it.
class HugePageAllocations {
  public:
    static PyObject *repeat(PyObject *sequence, Py_ssize_t count) {
#if PY_VERSION_HEX >= 0x030A0000 && !defined(Py_GIL_DISABLED)
        HugePageAllocations hook;
        PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &hook.previous_);
        PyMemAllocatorEx hinted = {&hook, hinted_malloc, hinted_calloc, hinted_realloc, plain_free};
        const int collecting = PyGC_Disable();
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &hinted);
        PyObject *repeated = PySequence_Repeat(sequence, count);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &hook.previous_);
        if (collecting) PyGC_Enable();
        return repeated;
#else
        return PySequence_Repeat(sequence, count);
#endif
    }

  private:
    static void *hinted_malloc(void *ctx, size_t size) {
        const PyMemAllocatorEx &a = static_cast<HugePageAllocations *>(ctx)->previous_;
        void *p = a.malloc(a.ctx, size);
        advise_huge_pages(p, size);
        return p;
    }
    static void *hinted_calloc(void *ctx, size_t count, size_t size) {
        const PyMemAllocatorEx &a = static_cast<HugePageAllocations *>(ctx)->previous_;
        void *p = a.calloc(a.ctx, count, size);
        if (size != 0 && count <= SIZE_MAX / size) advise_huge_pages(p, count * size);
        return p;
    }
    static void *hinted_realloc(void *ctx, void *old, size_t size) {
        const PyMemAllocatorEx &a = static_cast<HugePageAllocations *>(ctx)->previous_;
        return a.realloc(a.ctx, old, size);
    }
    static void plain_free(void *ctx, void *p) {
        const PyMemAllocatorEx &a = static_cast<HugePageAllocations *>(ctx)->previous_;
        a.free(a.ctx, p);
    }

    PyMemAllocatorEx previous_{};
};

// A new array('Q') of `count` zero words, allocated at its final size: one word repeated, so no
// second buffer of that size is ever made.
PyObject *zeroed_word_array(size_t count) {
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(uint64_t))
        return zox_result_memory_error(count);
    PyRef array_module(PyImport_ImportModule("array"));
    if (array_module.p == nullptr) return nullptr;
    PyRef one(PyObject_CallMethod(array_module.p, "array", "s[i]", "Q", 0));
    if (one.p == nullptr) return nullptr;
    const auto n = static_cast<Py_ssize_t>(count);
    PyObject *array = count * sizeof(uint64_t) < huge_page_hint_from
                          ? PySequence_Repeat(one.p, n)
                          : HugePageAllocations::repeat(one.p, n);
    if (array == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return zox_result_memory_error(count);
    }
    return array;
}

// The words of an array('Q'); a view the caller releases.
uint64_t *array_words(PyObject *array, Py_buffer *view) {
    if (PyObject_GetBuffer(array, view, PyBUF_WRITABLE | PyBUF_FORMAT) != 0) return nullptr;
    if (view->itemsize != sizeof(uint64_t) || view->len % sizeof(uint64_t) != 0) {
        PyBuffer_Release(view);
        PyErr_SetString(PyExc_SystemError, "array('Q') items are not 64-bit words here");
        return nullptr;
    }
    return static_cast<uint64_t *>(view->buf);
}

PyObject *solve_to_array(PyObject *arg, bool force_local) {
    Values values;
    if (read_values(arg, values) != 0) return nullptr;
    const uint64_t count = values.total / 64 + 1;
    if (count > PY_SSIZE_T_MAX / sizeof(uint64_t)) return zox_result_memory_error(count);
    PyRef array(zeroed_word_array(static_cast<size_t>(count)));
    if (array.p == nullptr) return nullptr;
    BufferView out;
    uint64_t *words = array_words(array.p, &out.view);
    if (words == nullptr) return nullptr;
    out.held = true;

    auto *solve = new (std::nothrow) SyncSolve;
    if (solve == nullptr) return PyErr_NoMemory();
    std::unique_ptr<SyncSolve> owner(solve);
    solve->into = words;
    solve->into_count = static_cast<size_t>(count);
    solve->input = values.copy.release();
    solve->input_length = values.length;
    solve->config = zox_config_snapshot();
    if (solve->config == nullptr) return nullptr;
    if (force_local) solve->config->keep_local = 1;
    if (!solve->config->keep_local) {
        // An interrupted remote solve may still write the words after this call has returned.
        Py_INCREF(array.p);
        solve->keep_alive = array.p;
    }
    // Interrupted, the solve owns itself and the array's reference.
    if (run_sync_solve(owner.release()) == nullptr) return nullptr;
    owner.reset(solve);
    out.release();
    if (raise_for_failed_solve(solve) != 0) return nullptr;
    if (solve->into_count < count &&
        PySequence_DelSlice(array.p, static_cast<Py_ssize_t>(solve->into_count),
                            static_cast<Py_ssize_t>(count)) != 0)
        return nullptr;
    return array.release();
}

PyObject *complete_subset_sum_array(PyObject *, PyObject *arg) { return solve_to_array(arg, false); }

// The service's solvers: always in this process, whatever the environment says.
PyObject *solve_local_array(PyObject *, PyObject *arg) { return solve_to_array(arg, true); }

// ---------------------------------------------------------------------------------------------
// The awaitable solve: a future of the caller's running loop, resolved from the worker thread
// through the loop's call_soon_threadsafe.

struct AioSolve {
    PyObject *loop;    // strong references, given back by the completion
    PyObject *future;
};

// Runs on the loop: settles the future unless it was cancelled meanwhile.
PyObject *aio_settle(PyObject *, PyObject *args) {
    PyObject *future, *value;
    int failed;
    if (!PyArg_ParseTuple(args, "OOp", &future, &value, &failed)) return nullptr;
    PyRef done(PyObject_CallMethod(future, "done", nullptr));
    if (done.p == nullptr) return nullptr;
    const int is_done = PyObject_IsTrue(done.p);
    if (is_done < 0) return nullptr;
    if (is_done > 0) Py_RETURN_NONE;
    return PyObject_CallMethod(future, failed ? "set_exception" : "set_result", "O", value);
}

PyMethodDef aio_settle_def = {"_settle", aio_settle, METH_VARARGS, nullptr};

// The pending exception, taken out of the error indicator.
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

// True when the loop is closed or the future already settled (cancelled): then nothing is sent.
bool aio_gone(const AioSolve *aio) {
    PyRef closed(PyObject_CallMethod(aio->loop, "is_closed", nullptr));
    PyRef done(closed.p != nullptr && !PyObject_IsTrue(closed.p)
                   ? PyObject_CallMethod(aio->future, "done", nullptr)
                   : nullptr);
    const bool gone = done.p == nullptr || PyObject_IsTrue(done.p) != 0;
    PyErr_Clear();
    return gone;
}

// With the interpreter lock held: hands the outcome to the loop.
void aio_deliver(const AioSolve *aio, zo_status_t status, const uint64_t *output, size_t count,
                 const char *err_str) {
    if (aio_gone(aio)) return;
    PyObject *value;
    bool failed = status != 0;
    if (failed) {
        raise_solve_failure(err_str != nullptr ? err_str : "[Local failure] not enough memory",
                            nullptr);
        value = take_exception();
    } else {
        value = result_list(output, count, nullptr);
        if (value == nullptr) {
            failed = true;
            value = take_exception();
        }
    }
    if (value == nullptr) return;
    PyObject *settle = PyCFunction_New(&aio_settle_def, nullptr);
    PyObject *sent = settle == nullptr ? nullptr
                                       : PyObject_CallMethod(aio->loop, "call_soon_threadsafe",
                                                             "OOOi", settle, aio->future, value,
                                                             failed ? 1 : 0);
    // The loop may have closed since it was asked; nothing more is owed to it then.
    if (sent == nullptr) PyErr_Clear();
    Py_XDECREF(sent);
    Py_XDECREF(settle);
    Py_DECREF(value);
}

// Completion on the worker thread. Nothing is called once the interpreter shuts down; then only
// the buffers are released.
void aio_completed(zo_status_t status, uint64_t *output, size_t count, void *context,
                   char *err_str) {
    auto *aio = static_cast<AioSolve *>(context);
    if (!pass_gate()) {
        free(output);
        free(err_str);
        return;
    }
    // No C++ owner may be live from here on: the interpreter ends threads that ask for its lock
    // while it shuts down, unwinding through this frame.
    const PyGILState_STATE gil = PyGILState_Ensure();
    if (still_open_after_gate()) {
        aio_deliver(aio, status, output, count, err_str);
        Py_DECREF(aio->future);
        Py_DECREF(aio->loop);
        delete aio;
    }
    free(output);
    free(err_str);
    PyGILState_Release(gil);
}

PyObject *complete_subset_sum_aio(PyObject *, PyObject *arg) {
    PyRef asyncio(PyImport_ImportModule("asyncio"));
    if (asyncio.p == nullptr) return nullptr;
    PyRef loop(PyObject_CallMethod(asyncio.p, "get_running_loop", nullptr));
    if (loop.p == nullptr) return nullptr;
    Values values;
    if (read_values(arg, values) != 0) return nullptr;
    Malloced<uint64_t> input;
    input.p = values.copy.release();
    PyRef future(PyObject_CallMethod(loop.p, "create_future", nullptr));
    if (future.p == nullptr) return nullptr;

    // Read here, with the interpreter lock held, not on the worker.
    zo_solve_config_t *config = zox_config_snapshot();
    if (config == nullptr) return nullptr;
    auto *aio = new (std::nothrow) AioSolve{loop.p, future.p};
    if (aio == nullptr) {
        zo_config_free(config);
        return PyErr_NoMemory();
    }
    Py_INCREF(loop.p);
    Py_INCREF(future.p);
    // The worker takes the config over, also when it cannot start.
    if (zo_solve_async(config, input.p, values.length, aio_completed, aio) != 0) {
        Py_DECREF(aio->loop);
        Py_DECREF(aio->future);
        delete aio;
        PyErr_SetString(PyExc_RuntimeError, "can't start a thread for the solve");
        return nullptr;
    }
    input.release();  // now the worker's
    return future.release();
}

PyDoc_STRVAR(complete_subset_sum_array_doc,
             "complete_subset_sum_array(values, /)\n--\n\n"
             "Run complete subset sum; the result as array('Q'), written in place.");
PyDoc_STRVAR(complete_subset_sum_aio_doc,
             "complete_subset_sum_aio(values, /)\n--\n\n"
             "Run complete subset sum on a worker thread; a future of the running event loop.");

}  // namespace

}  // namespace zotools

PyMethodDef zotools_results_methods[] = {
    {"complete_subset_sum_array", zotools::complete_subset_sum_array, METH_O,
     zotools::complete_subset_sum_array_doc},
    {"complete_subset_sum_aio", zotools::complete_subset_sum_aio, METH_O,
     zotools::complete_subset_sum_aio_doc},
    {"_solve_local_array", zotools::solve_local_array, METH_O,
     "_solve_local_array(values, /)\n--\n\ncomplete_subset_sum_array solved in this process."},
    {nullptr, nullptr, 0, nullptr},
};
