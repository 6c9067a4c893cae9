// Python binding, results: the words of a solve as a list or an array('Q'), a witness as its
// list of indices, and the words of a result a caller hands back (a list or a buffer of words)
// for the membership check.
#include "zotools_internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace zotools {

namespace {
constexpr size_t mapped_from_words = 1 << 19;  // 4 MiB: smaller results come from the heap
}  // namespace

bool ResultWords::allocate(size_t count) {
    count_ = count;
    if (count < mapped_from_words) {
        // The heap usually hands back memory already mapped instead of fresh pages to fault in.
        words_ = static_cast<uint64_t *>(calloc(count, sizeof(uint64_t)));
        return words_ != nullptr;
    }
    if (count > SIZE_MAX / sizeof(uint64_t)) return false;
    mapped_bytes_ = count * sizeof(uint64_t);
    void *p = mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) {
        mapped_bytes_ = 0;
        return false;
    }
    words_ = static_cast<uint64_t *>(p);  // fresh anonymous pages read as zero
    return true;
}

void ResultWords::release_before(size_t index) {
    if (mapped_bytes_ == 0) return;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t upto = index * sizeof(uint64_t) / page * page;
    if (upto <= released_bytes_) return;
    munmap(reinterpret_cast<char *>(words_) + released_bytes_, upto - released_bytes_);
    released_bytes_ = upto;
}

ResultWords::~ResultWords() {
    if (mapped_bytes_ == 0) {
        free(words_);
    } else if (released_bytes_ < mapped_bytes_) {
        munmap(reinterpret_cast<char *>(words_) + released_bytes_, mapped_bytes_ - released_bytes_);
    }
}

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

// The slots hold result words until they are turned into ints. The collector does not see the
// list meanwhile, and on failure the slots not yet turned are cleared before it goes.
bool WordSlotList::create(size_t count) {
    if (count <= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *))
        list_.p = PyList_New(static_cast<Py_ssize_t>(count));  // slots zeroed: zero words
    if (list_.p == nullptr) {
        if (count <= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *) &&
            !PyErr_ExceptionMatches(PyExc_MemoryError))
            return false;
        PyErr_Clear();
        result_memory_error(count);
        return false;
    }
    PyObject_GC_UnTrack(list_.p);
    count_ = count;
    converted_ = 0;
    advise_huge_pages(list_items(list_.p), count * sizeof(PyObject *));
    return true;
}

uint64_t *WordSlotList::words() { return reinterpret_cast<uint64_t *>(list_items(list_.p)); }

PyObject *WordSlotList::convert(size_t words) {
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

WordSlotList::~WordSlotList() {
    if (list_.p != nullptr) clear_unconverted();
}

void WordSlotList::clear_unconverted() {
    memset(list_items(list_.p) + converted_, 0, (count_ - converted_) * sizeof(PyObject *));
    converted_ = count_;
}

namespace {

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

}  // namespace

// A new array('Q') of `count` zero words, allocated at its final size: one word repeated, so no
// second buffer of that size is ever made.
PyObject *solve_result(Solve *solve) {
    if (solve->kind == SolveKind::sums)
        return result_list(solve->output.data(), solve->output.count(), &solve->output);
    if (!solve->found) Py_RETURN_NONE;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(solve->index_count)));
    if (list.p == nullptr) return nullptr;
    for (size_t i = 0; i < solve->index_count; i++) {
        PyObject *index = PyLong_FromSize_t(solve->indices.get()[i]);
        if (index == nullptr) return nullptr;
        PyList_SET_ITEM(list.p, static_cast<Py_ssize_t>(i), index);
    }
    return list.release();
}

namespace {
// array('Q', [0]), made once: each result array is a repeat of it (making it per solve cost more
// than a small solve).
PyObject *one_zero_word = nullptr;
}  // namespace

int make_word_template() {
    if (one_zero_word != nullptr) return 0;
    PyRef array_module(PyImport_ImportModule("array"));
    if (array_module.p == nullptr) return -1;
    one_zero_word = PyObject_CallMethod(array_module.p, "array", "s[i]", "Q", 0);
    return one_zero_word == nullptr ? -1 : 0;
}

PyObject *zeroed_word_array(size_t count) {
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(uint64_t))
        return result_memory_error(count);
    const auto n = static_cast<Py_ssize_t>(count);
    PyObject *array = count * sizeof(uint64_t) < huge_page_hint_from
                          ? PySequence_Repeat(one_zero_word, n)
                          : HugePageAllocations::repeat(one_zero_word, n);
    if (array == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return result_memory_error(count);
    }
    return array;
}

// The words of an array('Q'); a view the caller releases.
uint64_t *array_words(PyObject *array, BufferView *held) {
    if (PyObject_GetBuffer(array, &held->view, PyBUF_WRITABLE | PyBUF_FORMAT) != 0) return nullptr;
    held->held = true;
    if (held->view.itemsize != sizeof(uint64_t) || held->view.len % sizeof(uint64_t) != 0) {
        held->release();
        PyErr_SetString(PyExc_SystemError, "array('Q') items are not 64-bit words here");
        return nullptr;
    }
    return static_cast<uint64_t *>(held->view.buf);
}


int ResultLookup::open(PyObject *result) {
    if (PyList_Check(result)) {
        if (read_values(result, ValueForms::list_only, false, list_) != 0) return -1;
        length_ = list_.length;
        return 0;
    }
    if (PyObject_CheckBuffer(result) &&
        PyObject_GetBuffer(result, &view_.view, PyBUF_RECORDS_RO) == 0) {
        view_.held = true;
        if (view_.view.ndim == 1 && view_.view.itemsize == sizeof(uint64_t) &&
            is_word_format(view_.view.format)) {
            base_ = static_cast<const unsigned char *>(view_.view.buf);
            stride_ = view_.view.strides != nullptr ? view_.view.strides[0] : view_.view.itemsize;
            length_ = static_cast<size_t>(view_.view.shape[0]);
            return 0;
        }
        view_.release();
    }
    PyErr_Clear();  // an object that declines to be viewed has no words either
    zo_say("Error occured with PyList_Check %d\n", 0);
    return 1;
}

uint64_t ResultLookup::word(size_t i) const {
    if (base_ == nullptr) return list_.copy.get()[i];
    uint64_t w;
    memcpy(&w, base_ + static_cast<Py_ssize_t>(i) * stride_, sizeof w);
    return w;
}

}  // namespace zotools
