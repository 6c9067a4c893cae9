// What the binding's units share: reference owners, one solve's settings, the synchronous solve
// and its result words, the errors a failed solve raises, the completion gate, and the result
// list. Not for outside callers.
//
// A method that solves does, in this order:
//   1. with the interpreter lock held, on the calling thread:
//          zo_solve_config_t *config = zox_config_snapshot();   (NULL: MemoryError is set)
//   2. anywhere, the lock released or on a thread of its own (it touches no Python object):
//          zo_failure_t failure;
//          zo_status_t status = zox_solve(config, input, n, output, &words, err_buf, &failure);
//          zo_config_free(config);
//   3. with the lock held again, when status is not 0:
//          return zox_raise_solve_error(err_buf, &failure);
// The environment is read only in step 1, so Python threads changing os.environ meanwhile do not
// race the solve. SyncSolve and run_sync_solve below do steps 2 and 3 for the synchronous calls.
#ifndef ZOTOOLS_INTERNAL_H
#define ZOTOOLS_INTERNAL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "../c_library/hdr/zo_lib.h"
#include "../c_library/zo_internal.h"

// The environment's settings for one solve (kill switch, key, address, bundle, time-out). Needs
// the interpreter lock. NULL with MemoryError set when out of memory.
zo_solve_config_t *zox_config_snapshot(void);

// Runs one solve with the settings of `config`; the front door's contract (status, words,
// 128-byte error buffer), plus `failure` (may be NULL) filled in when it fails.
inline zo_status_t zox_solve(const zo_solve_config_t *config, const uint64_t *input,
                             size_t input_length, uint64_t *output, size_t *output_size,
                             char *err_buf, zo_failure_t *failure) {
    return zo_solve(config, input, input_length, output, output_size, err_buf, failure);
}

// Sets the ConnectionError of a failed solve and returns NULL. Its message is exactly the error
// buffer's text; the details travel as attributes (phase, curl_code, curl_message,
// service_message, not_ready_polls, timed_out) and as an exception note. Prints nothing.
PyObject *zox_raise_solve_error(const char *err_buf, const zo_failure_t *failure);

// Sets MemoryError naming the bytes `words` result words need; returns NULL.
PyObject *zox_result_memory_error(size_t words);

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

// Result words of a synchronous solve. Large results live in pages of their own, so that the
// pages already turned into list items can be given back while the list grows: the peak then
// stays near one copy of the result instead of two. Smaller ones come from the heap, which
// usually hands back memory already mapped instead of fresh pages to fault in.
class ResultWords {
  public:
    bool allocate(size_t count) {
        count_ = count;
        if (count < mapped_from_words) {
            words_ = static_cast<uint64_t *>(calloc(count, sizeof(uint64_t)));
            return words_ != nullptr;
        }
        if (count > SIZE_MAX / sizeof(uint64_t)) return false;
        mapped_bytes_ = count * sizeof(uint64_t);
        void *p = mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            mapped_bytes_ = 0;
            return false;
        }
        words_ = static_cast<uint64_t *>(p);  // fresh anonymous pages read as zero
        return true;
    }

    // The words before `index` are no longer needed.
    void release_before(size_t index) {
        if (mapped_bytes_ == 0) return;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t upto = index * sizeof(uint64_t) / page * page;
        if (upto <= released_bytes_) return;
        munmap(reinterpret_cast<char *>(words_) + released_bytes_, upto - released_bytes_);
        released_bytes_ = upto;
    }

    uint64_t *data() { return words_; }
    size_t &count() { return count_; }

    ResultWords() = default;
    ResultWords(const ResultWords &) = delete;
    ResultWords &operator=(const ResultWords &) = delete;
    ~ResultWords() {
        if (mapped_bytes_ == 0) {
            free(words_);
        } else if (released_bytes_ < mapped_bytes_) {
            munmap(reinterpret_cast<char *>(words_) + released_bytes_,
                   mapped_bytes_ - released_bytes_);
        }
    }

  private:
    static constexpr size_t mapped_from_words = 1 << 19;  // 4 MiB
    uint64_t *words_ = nullptr;
    size_t count_ = 0;
    size_t mapped_bytes_ = 0;
    size_t released_bytes_ = 0;
};

// One synchronous solve. A remote solve can wait on the service for a minute or more: it runs on
// a thread of its own while the caller waits in short slices and checks for signals, so Ctrl-C
// interrupts the call. An abandoned solve finishes within its own bounds and then releases
// everything, since the waiter is gone.
struct SyncSolve {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t finished;
    bool done = false;
    bool abandoned = false;
    uint64_t *input = nullptr;  // malloc'ed; the solve releases it
    size_t input_length = 0;
    ResultWords output;
    // Caller-provided words instead of `output`, kept alive by `keep_alive` (a reference the
    // solve owns; an abandoned solve gives it back under the interpreter lock).
    uint64_t *into = nullptr;
    size_t into_count = 0;
    PyObject *keep_alive = nullptr;
    zo_status_t status = -1;
    char err_buf[ZO_ERR_BUF_SIZE] = {0};
    zo_solve_config_t *config = nullptr;  // owned
    zo_failure_t failure{};

    // The wait is timed on the monotonic clock, so a change of the system time cannot stretch it.
    SyncSolve() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&finished, &attr);
        pthread_condattr_destroy(&attr);
    }
    SyncSolve(const SyncSolve &) = delete;
    SyncSolve &operator=(const SyncSolve &) = delete;

    // Runs where the interpreter lock is held, or with keep_alive already given back.
    ~SyncSolve() {
        free(input);
        zo_config_free(config);
        Py_XDECREF(keep_alive);
        pthread_cond_destroy(&finished);
        pthread_mutex_destroy(&mutex);
    }

    uint64_t *words() { return into != nullptr ? into : output.data(); }
    size_t &word_count() { return into != nullptr ? into_count : output.count(); }
    // Solves on the calling thread, touching nothing of Python's.
    void run() {
        status = zox_solve(config, input, input_length, words(), &word_count(), err_buf, &failure);
    }
};

// Runs the solve (its config set) as the synchronous method does: in place with the interpreter
// lock released when the config keeps it local (it then always finishes), interruptibly on a
// thread of its own otherwise. Returns the solve, finished, or nullptr with the signal handler's
// exception set: the solve then owns itself.
SyncSolve *run_sync_solve(SyncSolve *solve);

// Prints the failure of a solve and raises its ConnectionError (zox_raise_solve_error).
void raise_solve_failure(const char *message, const zo_failure_t *failure);
// 0 after a successful solve; otherwise raise_solve_failure and -1.
int raise_for_failed_solve(const SyncSolve *solve);

// Completion threads that may outlive the interpreter call pass_gate() before taking the
// interpreter lock and still_open_after_gate() once they hold it; both true means Python may be
// used.
bool pass_gate();
bool still_open_after_gate();

// The result list of `count` words. Equal neighbouring words share one int object; when
// `release_behind` is given, the words already read are given back every so often.
PyObject *result_list(const uint64_t *words, size_t count, ResultWords *release_behind);

// The result list of a local solve (its config set) of `count` words, solved straight into the
// list's own item slots: no second buffer of the result's size. Raises as the synchronous method
// does.
PyObject *solve_into_list(SyncSolve *solve, size_t count);

}  // namespace zotools

extern "C" {
// The values of a list as a malloc'ed array (zotools.cpp): 0, or -1 with the exception set and
// its message printed.
ZO_API int _pull_input_list_from_py_obj(PyObject *inputList, uint64_t **c_input_array,
                                        size_t *input_length, uint64_t *total_sum);
}

// The module's methods defined outside zotools.cpp, for its method table.
extern PyMethodDef zotools_results_methods[];

#endif  // ZOTOOLS_INTERNAL_H
