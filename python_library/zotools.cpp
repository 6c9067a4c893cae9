// Python binding of the zox solver: the module, its methods and list conversion.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "../c_library/hdr/zo_lib.h"
#include "../c_library/zo_internal.h"
#include "zotools_internal.h"

namespace zotools {

// zox.ArgumentError: bad arguments are a TypeError, as Python users expect, and a SystemError,
// which callers of the module's first releases caught for them.
PyObject *argument_error = nullptr;

// Replaces the pending argument error with an ArgumentError of the same words, chained to it.
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

// Completions that end after the interpreter has begun to shut down must not touch it: asking for
// the interpreter lock then ends the thread, or worse, once the lock's state is gone. An exit hook
// closes the gate; it waits for the completions already past the gate to take the lock and see it
// closed. Plain pthread objects, so no destructor runs under threads that outlive the interpreter.
struct CompletionGate {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t drained = PTHREAD_COND_INITIALIZER;
    bool closed = false;
    size_t entering = 0;  // completions past the gate, waiting for the interpreter lock
};
CompletionGate gate;

// A forked child has none of its parent's completion threads.
void reset_gate_in_child() {
    pthread_mutex_init(&gate.mutex, nullptr);
    pthread_cond_init(&gate.drained, nullptr);
    gate.entering = 0;
}

bool pass_gate() {
    pthread_mutex_lock(&gate.mutex);
    const bool open = !gate.closed;
    if (open) gate.entering++;
    pthread_mutex_unlock(&gate.mutex);
    return open;
}

// Called with the interpreter lock held, after pass_gate() succeeded; false if the gate closed
// meanwhile.
bool still_open_after_gate() {
    pthread_mutex_lock(&gate.mutex);
    const bool open = !gate.closed;
    if (--gate.entering == 0) pthread_cond_broadcast(&gate.drained);
    pthread_mutex_unlock(&gate.mutex);
    return open;
}

// Diagnostics go through sys.stdout, so that redirection, capture and notebooks see them in order
// with Python's own output. Declines (and the library writes to file descriptor 1 itself) when
// the interpreter is not running or is shutting down. A thread that already holds the interpreter
// lock takes it again without waiting; the gate keeps the exit hook waiting until the message is
// written.
bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

int write_to_sys_stdout(const char *text, size_t length) {
    if (!Py_IsInitialized() || interpreter_finalizing() || !pass_gate()) return -1;
    const PyGILState_STATE gil = PyGILState_Ensure();
    pthread_mutex_lock(&gate.mutex);
    int status = gate.closed ? -1 : 0;
    pthread_mutex_unlock(&gate.mutex);
    // ZO_QUIET is read here, with the lock held, rather than by the printing thread without it.
    if (status == 0 && !zo_diag_quiet()) {
        // A failed argument parse prints with its error pending; the error stays the caller's.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject *out = PySys_GetObject("stdout");  // borrowed
        if (out != nullptr && out != Py_None) {
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
    still_open_after_gate();
    PyGILState_Release(gil);
    return status;
}

PyObject *close_completion_gate(PyObject *, PyObject *) {
    pthread_mutex_lock(&gate.mutex);
    gate.closed = true;
    pthread_mutex_unlock(&gate.mutex);
    Py_BEGIN_ALLOW_THREADS
    pthread_mutex_lock(&gate.mutex);
    while (gate.entering > 0) pthread_cond_wait(&gate.drained, &gate.mutex);
    pthread_mutex_unlock(&gate.mutex);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef close_completion_gate_def = {"_close_completion_gate", close_completion_gate,
                                         METH_NOARGS, nullptr};

int register_completion_gate() {
    static std::once_flag atfork_once;
    std::call_once(atfork_once, [] { pthread_atfork(nullptr, nullptr, reset_gate_in_child); });
    PyRef hook(PyCFunction_New(&close_completion_gate_def, nullptr));
    if (hook.p == nullptr) return -1;
    PyRef atexit_module(PyImport_ImportModule("atexit"));
    if (atexit_module.p == nullptr) return -1;
    PyRef done(PyObject_CallMethod(atexit_module.p, "register", "O", hook.p));
    return done.p == nullptr ? -1 : 0;
}


// An abandoned solve ends on its own thread. What it keeps of Python's is given back under the
// interpreter lock, unless the interpreter is shutting down: then it is left to the exiting process.
void release_abandoned(SyncSolve *solve) {
    PyObject *kept = solve->keep_alive;
    solve->keep_alive = nullptr;
    delete solve;
    if (kept == nullptr || !pass_gate()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    if (still_open_after_gate()) Py_DECREF(kept);
    PyGILState_Release(gil);
}

void *run_remote_solve(void *arg) {
    auto *solve = static_cast<SyncSolve *>(arg);
    solve->run();
    pthread_mutex_lock(&solve->mutex);
    solve->done = true;
    const bool abandoned = solve->abandoned;
    pthread_cond_signal(&solve->finished);
    pthread_mutex_unlock(&solve->mutex);
    if (abandoned) release_abandoned(solve);
    return nullptr;
}

// Waits for the solve with the interpreter lock released. Returns false, with the signal
// handler's exception set, when a signal handler raised; the solve is then abandoned.
bool wait_for_remote_solve(SyncSolve *solve) {
    for (;;) {
        bool done;
        Py_BEGIN_ALLOW_THREADS
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 100 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000 * 1000 * 1000) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000 * 1000 * 1000;
        }
        pthread_mutex_lock(&solve->mutex);
        while (!solve->done) {
            if (pthread_cond_timedwait(&solve->finished, &solve->mutex, &deadline) == ETIMEDOUT)
                break;
        }
        done = solve->done;
        pthread_mutex_unlock(&solve->mutex);
        Py_END_ALLOW_THREADS
        if (done) return true;
        if (PyErr_CheckSignals() != 0) {
            pthread_mutex_lock(&solve->mutex);
            solve->abandoned = !solve->done;
            const bool finished_meanwhile = solve->done;
            pthread_mutex_unlock(&solve->mutex);
            if (finished_meanwhile) delete solve;
            return false;
        }
    }
}

// The thread Python runs signal handlers on (Ctrl-C's KeyboardInterrupt among them); 0 when it
// could not be learnt at import, and then every thread is taken for it.
unsigned long signal_thread_ident = 0;

void learn_signal_thread() {
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef main(threading.p ? PyObject_CallMethod(threading.p, "main_thread", nullptr) : nullptr);
    PyRef ident(main.p ? PyObject_GetAttrString(main.p, "ident") : nullptr);
    if (ident.p != nullptr && PyLong_Check(ident.p)) signal_thread_ident = PyLong_AsUnsignedLong(ident.p);
    if (PyErr_Occurred()) {
        signal_thread_ident = 0;
        PyErr_Clear();
    }
}

// Runs the solve on its own thread and waits for it. Returns the solve, finished, or nullptr with
// an exception set. Falls back to a direct call when no thread can be started.
// On any thread but the one that handles signals nothing can interrupt the wait: the solve runs
// on the calling thread, with the interpreter lock released throughout. A thread per solve and a
// waiter taking the lock ten times a second cost little for one caller, but with a thousand
// threads solving at once their lock traffic and thread starts were most of the client's CPU.
SyncSolve *solve_interruptibly(SyncSolve *solve) {
    if (signal_thread_ident != 0 && PyThread_get_thread_ident() != signal_thread_ident) {
        Py_BEGIN_ALLOW_THREADS
        solve->run();
        Py_END_ALLOW_THREADS
        return solve;
    }
    pthread_attr_t attr;
    pthread_t thread;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&thread, &attr, run_remote_solve, solve) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        Py_BEGIN_ALLOW_THREADS
        solve->run();
        Py_END_ALLOW_THREADS
        return solve;
    }
    return wait_for_remote_solve(solve) ? solve : nullptr;
}

SyncSolve *run_sync_solve(SyncSolve *solve) {
    if (!solve->config->keep_local) return solve_interruptibly(solve);
    // The solve touches only its own buffers, so other Python threads may run meanwhile.
    Py_BEGIN_ALLOW_THREADS
    solve->run();
    Py_END_ALLOW_THREADS
    return solve;
}

void raise_solve_failure(const char *message, const zo_failure_t *failure) {
    zo_say("Error occured %s\n", message);
    zox_raise_solve_error(message, failure);
}

int raise_for_failed_solve(const SyncSolve *solve) {
    if (solve->status == 0) return 0;
    raise_solve_failure(solve->err_buf, &solve->failure);
    return -1;
}

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

}  // namespace zotools

using namespace zotools;

zo_solve_config_t *zox_config_snapshot(void) {
    zo_solve_config_t *config = zo_config_from_env();
    if (config == nullptr) PyErr_SetString(PyExc_MemoryError, "no memory for the solve's settings");
    return config;
}

PyObject *zox_raise_solve_error(const char *err_buf, const zo_failure_t *failure) {
    // A service's message may be no UTF-8, or be cut inside a character at 127 bytes.
    PyRef text(PyUnicode_DecodeUTF8(err_buf, static_cast<Py_ssize_t>(strlen(err_buf)), "replace"));
    if (text.p == nullptr) return nullptr;
    PyRef error(PyObject_CallFunctionObjArgs(PyExc_ConnectionError, text.p, nullptr));
    if (error.p == nullptr) return nullptr;
    zo_failure_t none{};
    none.curl_code = -1;
    const zo_failure_t &f = failure != nullptr ? *failure : none;
    if (set_attr(error.p, "phase", text_or_none(f.phase)) != 0 ||
        set_attr(error.p, "curl_code",
                 f.curl_code >= 0 ? PyLong_FromLong(f.curl_code) : (Py_INCREF(Py_None), Py_None)) != 0 ||
        set_attr(error.p, "curl_message", text_or_none(f.curl_words)) != 0 ||
        set_attr(error.p, "service_message", text_or_none(f.service_message)) != 0 ||
        set_attr(error.p, "not_ready_polls", PyLong_FromLong(f.not_ready_polls)) != 0 ||
        set_attr(error.p, "timed_out", PyBool_FromLong(f.deadline_passed)) != 0)
        return nullptr;
    if (f.note[0] != '\0') {
        PyRef note(text_or_none(f.note));
        if (note.p == nullptr || add_note(error.p, note.p) != 0) return nullptr;
    }
    PyErr_SetObject(PyExc_ConnectionError, error.p);
    return nullptr;
}

PyObject *zox_result_memory_error(size_t words) {
    return PyErr_Format(PyExc_MemoryError, "the result needs %llu bytes (%llu words of 8 bytes)",
                        static_cast<unsigned long long>(words) * 8,
                        static_cast<unsigned long long>(words));
}

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
        zo_say("Error occured with PyList_Check %d\n", 0);
        PyErr_Format(PyExc_TypeError, "expected a list of non-negative ints, got %.200s",
                     Py_TYPE(inputList)->tp_name);
        return -1;
    }
    const Py_ssize_t n = PyList_GET_SIZE(inputList);
    Malloced<uint64_t> array;
    array.p = static_cast<uint64_t *>(malloc((n > 0 ? static_cast<size_t>(n) : 1) * sizeof(uint64_t)));
    if (array.p == nullptr) {
        PyErr_Format(PyExc_MemoryError, "the input needs %zu bytes", static_cast<size_t>(n) * 8);
        return -1;
    }
    uint64_t total = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(inputList, i);
        if (!PyLong_Check(item)) {
            zo_say("Error occured with PyLong_Check\n");
            PyErr_Format(PyExc_TypeError, "list item %zd is not an int but %.200s", i,
                         Py_TYPE(item)->tp_name);
            return -1;
        }
        const unsigned long long v = PyLong_AsUnsignedLongLong(item);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        array.p[i] = v;
        if (total_sum != nullptr && __builtin_add_overflow(total, v, &total)) {
            zo_say("Error occured, overflow on input\n");
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
    return result_list(result_buffer, result_buffer_size, nullptr);
}

ZO_API PyObject *webinterface_complete_subset_sum(PyObject *, PyObject *args) {
    PyObject *values;
    if (!PyArg_ParseTuple(args, "O", &values)) return parse_failure();

    Malloced<uint64_t> input;
    size_t input_length = 0;
    uint64_t total = 0;
    if (_pull_input_list_from_py_obj(values, &input.p, &input_length, &total) != 0) return nullptr;

    auto *solve = new (std::nothrow) SyncSolve;
    if (solve == nullptr) return PyErr_NoMemory();
    std::unique_ptr<SyncSolve> owner(solve);
    solve->input = input.release();
    solve->input_length = input_length;
    solve->config = zox_config_snapshot();
    if (solve->config == nullptr) return nullptr;
    const size_t words_needed = static_cast<size_t>(total / 64 + 1);
    if (solve->config->keep_local) return solve_into_list(solve, words_needed);
    // Zeroed, so that no word a solver leaves unwritten reaches Python as stale memory.
    if (!solve->output.allocate(words_needed)) return zox_result_memory_error(words_needed);

    // Interrupted, the solve owns itself.
    if (run_sync_solve(owner.release()) == nullptr) return nullptr;
    owner.reset(solve);
    if (raise_for_failed_solve(solve) != 0) return nullptr;
    return result_list(solve->output.data(), solve->output.count(), &solve->output);
}

/* Completion of a background solve, on its worker thread. Takes over `output_binary`, `err_str`
   and the reference to `pyCallbackFunction`. Calls the callback once, with the result list, or with
   None after a failed solve (whose message the solver has printed). Nothing is called once the
   interpreter shuts down; then only the buffers are released. */
ZO_API void _async_callback(zo_status_t result, uint64_t *output_binary, size_t output_binary_size,
                            void *pyCallbackFunction, char *err_str) {
    free(err_str);
    if (!pass_gate()) {
        free(output_binary);
        return;
    }
    // No C++ owner may be live from here on: the interpreter ends threads that ask for its lock
    // while it shuts down, unwinding through this frame.
    const PyGILState_STATE gil = PyGILState_Ensure();
    auto *callback = static_cast<PyObject *>(pyCallbackFunction);
    if (!still_open_after_gate()) {
        free(output_binary);
        Py_DECREF(callback);
        PyGILState_Release(gil);
        return;
    }

    PyObject *result_list = nullptr;
    if (result == 0) {
        result_list = _generate_result_list_from_c_buf(output_binary, output_binary_size);
        if (result_list == nullptr) PyErr_WriteUnraisable(callback);
    }
    free(output_binary);

    if (!PyCallable_Check(callback)) {
        // The method refuses such objects; reached only by direct callers of this routine.
        zo_say("_async_callback called with uncallable callback");
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callback)->tp_name);
        PyErr_WriteUnraisable(callback);
    } else {
        PyObject *returned =
            PyObject_CallFunctionObjArgs(callback, result_list ? result_list : Py_None, nullptr);
        if (returned == nullptr) PyErr_WriteUnraisable(callback);
        Py_XDECREF(returned);
    }
    Py_XDECREF(result_list);
    Py_DECREF(callback);
    PyGILState_Release(gil);
}

ZO_API PyObject *webinterface_complete_subset_sum_async(PyObject *, PyObject *args) {
    PyObject *values, *callback;
    if (!PyArg_ParseTuple(args, "OO", &values, &callback)) return parse_failure();
    if (!PyCallable_Check(callback)) {
        PyErr_Format(PyExc_TypeError, "callback must be callable, not %.200s",
                     Py_TYPE(callback)->tp_name);
        return nullptr;
    }

    Malloced<uint64_t> input;
    size_t input_length = 0;
    uint64_t total = 0;
    if (_pull_input_list_from_py_obj(values, &input.p, &input_length, &total) != 0) return nullptr;

    // Read here, with the interpreter lock held, not on the worker.
    zo_solve_config_t *config = zox_config_snapshot();
    if (config == nullptr) return nullptr;
    Py_INCREF(callback);
    if (zo_solve_async(config, input.p, input_length, _async_callback, callback) != 0) {
        Py_DECREF(callback);
        PyErr_SetString(PyExc_RuntimeError, "can't start a thread for the solve");
        return nullptr;
    }
    input.release();  // now the worker's
    Py_RETURN_NONE;
}

ZO_API PyObject *webinterface_subset_sum_result_check(PyObject *, PyObject *args) {
    PyObject *result, *value;
    if (!PyArg_ParseTuple(args, "OO", &result, &value)) return parse_failure();
    if (!PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "value must be an int, not %.200s", Py_TYPE(value)->tp_name);
        return parse_failure();
    }
    PyRef index(PyNumber_Index(value));
    if (index.p == nullptr) return nullptr;

    Malloced<uint64_t> words;
    size_t length = 0;
    if (_pull_input_list_from_py_obj(result, &words.p, &length, nullptr) != 0) {
        // A non-list has no words, so every value lies out of bounds; a bad item is an error.
        if (PyList_Check(result)) return nullptr;
        PyErr_Clear();
    }
    // Negative values and values of 2**64 or more lie beyond every word; none wraps around.
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.p);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
        PyErr_Clear();
        PyRef sixty_four(PyLong_FromLong(64));
        PyRef entry(sixty_four.p ? PyNumber_FloorDivide(index.p, sixty_four.p) : nullptr);
        PyRef shown(entry.p ? PyObject_Str(entry.p) : nullptr);
        const char *text = shown.p ? PyUnicode_AsUTF8(shown.p) : nullptr;
        if (text == nullptr) return nullptr;
        zo_say("Error occured in result check, entry %s is out of bounds of input of length %llu\n",
               text, static_cast<unsigned long long>(length));
        Py_RETURN_NONE;
    }
    const unsigned long long check_entry = v / 64;
    const unsigned check_offset = static_cast<unsigned>(v % 64);
    if (check_entry < length) return PyBool_FromLong((words.p[check_entry] >> check_offset) & 1);
    zo_say("Error occured in result check, entry %llu is out of bounds of input of length %llu\n",
        check_entry, static_cast<unsigned long long>(length));
    Py_RETURN_NONE;
}

static PyMethodDef ZOXMethods[] = {
    // Each documentation string opens with the signature that inspect.signature reads; the
    // interpreter strips it from __doc__, which then starts with the method's own text.
    {"complete_subset_sum", webinterface_complete_subset_sum, METH_VARARGS,
     "complete_subset_sum($module, values, /)\n--\n\nRun complete subset sum"},
    {"complete_subset_sum_async", webinterface_complete_subset_sum_async, METH_VARARGS,
     "complete_subset_sum_async($module, values, callback, /)\n--\n\nRun complete subset sum"},
    {"subset_sum_result_check", webinterface_subset_sum_result_check, METH_VARARGS,
     "subset_sum_result_check($module, result, value, /)\n--\n\n"
     "Check for a specific int in the results of subset sum"},
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef zox = {
    PyModuleDef_HEAD_INIT, "zox", nullptr, -1, ZOXMethods, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_zox(void) {
    PyRef module(PyModule_Create2(&zox, 1013));
    if (module.p == nullptr || PyModule_AddFunctions(module.p, zotools_results_methods) != 0 ||
        register_completion_gate() != 0)
        return nullptr;
    if (PyModule_AddStringConstant(module.p, "__version__", ZOX_VERSION) != 0) return nullptr;
    learn_signal_thread();
    zo_set_diag_sink(write_to_sys_stdout);
    // libcurl's and OpenSSL's one-time set-up reads the environment: here, with the lock held.
    zo_client_init();
    if (argument_error == nullptr) {
        PyRef bases(PyTuple_Pack(2, PyExc_TypeError, PyExc_SystemError));
        if (bases.p == nullptr) return nullptr;
        argument_error = PyErr_NewExceptionWithDoc(
            "zox.ArgumentError",
            "Arguments a method cannot take: a TypeError and, for callers that caught what the "
            "interpreter raised for them before, a SystemError.",
            bases.p, nullptr);
        if (argument_error == nullptr) return nullptr;
    }
    Py_INCREF(argument_error);
    if (PyModule_AddObject(module.p, "ArgumentError", argument_error) != 0) {
        Py_DECREF(argument_error);
        return nullptr;
    }
    return module.release();
}

}  // extern "C"
