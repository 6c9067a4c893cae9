// What the binding's units share: reference owners, the value reader, the result layer, the one
// solve runner with its exit gate, the failure builder and the diagnostics sink. Not for outside
// callers.
//
// A value travels: Python object -> read_values -> Solve -> the front door -> words -> results.
// A failure travels: the front door's failure record -> solve_error -> the same exception in
// every form.
#ifndef ZOTOOLS_INTERNAL_H
#define ZOTOOLS_INTERNAL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include "../c_library/hdr/zo_lib.h"
#include "../c_library/zo_internal.h"

namespace zotools {

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

// Owner of a malloc'ed block: the library's own.
using zo::Malloced;

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

// ---- zotools_values.cpp: the one value reader.

// The values of a solve, copied: the solve runs without the interpreter lock while other threads
// may change what the caller handed in.
struct Values {
    Malloced<uint64_t> copy;
    size_t length = 0;
    uint64_t total = 0;
};

enum class ValueForms {
    list_only,  // a list of ints, refused with the list form's own texts
    any_ints,   // any iterable of __index__ integers, or a 1-D integer buffer
};

// Reads `obj` into `v`: 0, or -1 with the exception set and its line printed. `with_total` adds
// the values up and refuses a total past 2^64 - 1.
int read_values(PyObject *obj, ValueForms forms, bool with_total, Values &v);
// Reads the target of a witness into `target`: 0 (with `beyond` set, and nothing in `target`,
// for 2**64 or more, which no values reach), or -1 with TypeError (not an int) or OverflowError
// (negative) set.
int read_target(PyObject *obj, uint64_t *target, bool *beyond);
// True for a buffer format of unsigned 64-bit integers in this machine's byte order.
bool is_word_format(const char *format);

// ---- zotools_results.cpp: list or array from words, and words back from a result.

// Result words of a solve, zeroed. Large results live in pages of their own, so that the pages
// already turned into list items can be given back while the list grows.
class ResultWords {
  public:
    bool allocate(size_t count);
    void release_before(size_t index);  // the words before `index` are no longer needed
    uint64_t *data() { return words_; }
    size_t &count() { return count_; }

    ResultWords() = default;
    ResultWords(const ResultWords &) = delete;
    ResultWords &operator=(const ResultWords &) = delete;
    ~ResultWords();

  private:
    uint64_t *words_ = nullptr;
    size_t count_ = 0;
    size_t mapped_bytes_ = 0;
    size_t released_bytes_ = 0;
};

// The result list of `count` words. Equal neighbouring words share one int object; when
// `release_behind` is given, the words already read are given back every so often.
PyObject *result_list(const uint64_t *words, size_t count, ResultWords *release_behind);

// A list whose item slots receive the words of a local solve, then become its ints: no second
// buffer of the result's size.
class WordSlotList {
  public:
    bool create(size_t count);
    uint64_t *words();
    PyObject *convert(size_t words);  // the first `words` slots as ints, the list cut to them

    WordSlotList() = default;
    WordSlotList(const WordSlotList &) = delete;
    WordSlotList &operator=(const WordSlotList &) = delete;
    ~WordSlotList();

  private:
    void clear_unconverted();
    PyRef list_;
    size_t count_ = 0;
    size_t converted_ = 0;
};

// A new array('Q') of `count` zero words, and a writable view of its words (released by the
// caller's BufferView); nullptr with the exception set.
PyObject *zeroed_word_array(size_t count);
// Makes the one-word array zeroed_word_array repeats, at the module's start; -1 with the error set.
int make_word_template();
uint64_t *array_words(PyObject *array, BufferView *view);

// The words of a result handed back by a caller: a list (read with the list form's texts) or a
// 1-D buffer of unsigned 64-bit words (viewed in place).
class ResultLookup {
  public:
    // 0; 1 when `result` is neither (no words: its line is printed); -1 with the exception set.
    int open(PyObject *result);
    size_t length() const { return length_; }
    uint64_t word(size_t i) const;

  private:
    Values list_;
    BufferView view_;
    const unsigned char *base_ = nullptr;
    Py_ssize_t stride_ = 0;
    size_t length_ = 0;
};

// ---- zotools_errors.cpp: one failure -> one exception.

// The zox.SolveError (a ConnectionError) of a failed solve, not raised: its message is exactly the
// error buffer's text; the details travel as attributes (phase, curl_code, curl_message,
// service_message, not_ready_polls, timed_out) and as a note. `failure` may be NULL. Prints nothing.
PyObject *solve_error(const char *err_buf, const zo_failure_t *failure);
// Prints "Error occured <message>" and raises solve_error's exception; returns NULL.
PyObject *raise_solve_failure(const char *err_buf, const zo_failure_t *failure);
// The pending exception, taken out of the error indicator (a new reference, or NULL).
PyObject *take_exception();
// Sets MemoryError naming the bytes `words` result words need; returns NULL.
PyObject *result_memory_error(size_t words);
// Replaces a failed argument unpacking's error with zox.ArgumentError chained to it, after the
// parsing line; returns NULL.
PyObject *parse_failure();
// zox.ArgumentError and zox.SolveError, each made once and added to `module`.
int add_argument_error(PyObject *module);
int add_solve_error(PyObject *module);

// ---- zotools_protocol.cpp: zox._protocol, the protocol values the module was built with.
int add_protocol(PyObject *module);

// ---- zotools_solve.cpp: the one solve runner and the exit gate.

enum class SolveKind {
    sums,     // every sum of the values, as words
    witness,  // the values that make one target sum, as their indices
};

// One solve: its settings, values and words, and after it ran its status, message and failure
// record. Touches no Python object while it runs.
struct Solve {
    SolveKind kind = SolveKind::sums;
    zo_solve_config_t *config = nullptr;  // owned
    uint64_t *input = nullptr;            // owned
    size_t input_length = 0;
    uint64_t total = 0;
    ResultWords output;
    // Caller-provided words instead of `output`, kept alive by `keep_alive` (a reference the
    // solve owns, given back under the interpreter lock).
    uint64_t *into = nullptr;
    size_t into_count = 0;
    PyObject *keep_alive = nullptr;
    zo_status_t status = -1;
    char err_buf[ZO_ERR_BUF_SIZE] = {0};
    zo_failure_t failure{};
    // A witness solve: its target, and once found the ascending indices of the values that make
    // it (room for every value). `cancel` stops a local one; its waiter sets it when interrupted.
    uint64_t target = 0;
    Malloced<size_t> indices;
    size_t index_count = 0;
    int found = 0;
    bool unreachable = false;  // the target lies past the total: no values make it, nothing asked
    volatile int cancel = 0;
    // A background solve hands itself to `deliver` on its own thread, with the interpreter lock
    // held; `context` is the form's (a strong reference).
    void (*deliver)(Solve *solve, PyObject *context) = nullptr;
    PyObject *context = nullptr;

    Solve() = default;
    Solve(const Solve &) = delete;
    Solve &operator=(const Solve &) = delete;
    ~Solve();  // with the interpreter lock held, or with nothing of Python's left

    uint64_t *words() { return into != nullptr ? into : output.data(); }
    size_t &word_count() { return into != nullptr ? into_count : output.count(); }
};

// A solve of `values` (taken over) with the environment's settings read now, its words not yet
// allocated; nullptr with the exception set.
Solve *new_solve(Values &values, bool force_local);
// A witness solve of the values and the target a caller handed in, read as the array form reads
// values; nullptr with the exception set.
Solve *new_witness_solve(PyObject *values, PyObject *target, bool force_local);
// Allocates the solve's own words, total / 64 + 1 of them; -1 with MemoryError set.
int allocate_words(Solve *solve);
// The result of a solve that succeeded: the list of its own words (given back as they are read),
// or the list of a witness's indices, or None when no values make the target; nullptr with the
// exception set.
PyObject *solve_result(Solve *solve);
// Runs the solve for a caller that waits. Returns it finished, or nullptr with the exception of
// the signal that interrupted the wait set: the solve then owns itself (and its keep_alive), or
// is already gone.
Solve *run_waited(Solve *solve);
// The runner's outcome for a waiting caller: 0 after success; otherwise the failure printed and
// raised (the solve is deleted either way only by the caller).
int raise_if_failed(const Solve *solve);
// Runs the solve on a thread of its own and delivers it there. 0; or -1 with RuntimeError set:
// then nothing was taken over.
int run_in_background(Solve *solve, void (*deliver)(Solve *, PyObject *), PyObject *context);

// The interpreter lock taken back after a stretch without it (from PyEval_SaveThread), or taken
// by a thread of the library's own. A thread the interpreter ends for asking while it shuts down
// never returns from these and never unwinds: the destructors above it would release Python
// objects without the lock. Every stretch without the lock ends through one of them.
void take_lock_back(PyThreadState *state);
PyGILState_STATE take_lock();
// True once the interpreter has begun to shut down; safe without the lock.
bool interpreter_finalizing();

// The exit gate. Completions from other threads call gate_enter() before taking the interpreter
// lock and gate_open() once they hold it; Python may be used only when both say so. gate_leave()
// when done (after gate_enter() succeeded). The interpreter's exit waits for every completion that
// entered, so one that started runs to its end; none starts after that.
bool gate_enter();
bool gate_open();
void gate_leave();
// A completion on a thread of the library's own: use(arg) under the interpreter lock, or, once
// the gate has closed, drop(arg), which may give back only plain memory (it may run without the
// lock). No C++ owner may be live in the callers: a thread that asks for the lock while the
// interpreter shuts down is ended, unwinding through their frames.
void deliver_through_gate(void (*use)(void *), void (*drop)(void *), void *arg);
// The exit gate's hook and what the runner learns at import; -1 with the exception set.
int init_runner();

// ---- zotools_diag.cpp: diagnostics through sys.stdout.
void install_diag_sink();

// ---- zotools_aio.cpp: the awaitable form.
PyObject *complete_subset_sum_aio(PyObject *, PyObject *values);
PyObject *subset_with_sum_aio(PyObject *, PyObject *args);
int ready_awaitable_type();

}  // namespace zotools

extern "C" {
// The values of a list as a malloc'ed array: 0, or -1 with the exception set and its message
// printed.
ZO_API int _pull_input_list_from_py_obj(PyObject *inputList, uint64_t **c_input_array,
                                        size_t *input_length, uint64_t *total_sum);
}

#endif  // ZOTOOLS_INTERNAL_H
