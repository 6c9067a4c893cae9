// Python binding of the zox solver: the module, its method table and its methods, each reading
// its values with the one value reader and solving through the one runner.
#include "zotools_internal.h"
#include "witness/zo_witness.h"

#include <memory>

namespace zotools {

namespace {

using SolveOwner = std::unique_ptr<Solve>;

// A local solve written straight into the item slots of the result list.
PyObject *solve_into_list(SolveOwner solve) {
    WordSlotList list;
    const size_t count = static_cast<size_t>(solve->total / 64 + 1);
    if (!list.create(count)) return nullptr;
    solve->into = list.words();
    solve->into_count = count;
    run_waited(solve.get());  // local: it always finishes here, so the slots are never written later
    if (raise_if_failed(solve.get()) != 0) return nullptr;
    return list.convert(solve->into_count < count ? solve->into_count : count);
}

// The array form: the words written in place into a new array('Q').
PyObject *solve_to_array(PyObject *arg, bool force_local) {
    Values values;
    if (read_values(arg, ValueForms::any_ints, true, values) != 0) return nullptr;
    const uint64_t count = values.total / 64 + 1;
    if (count > PY_SSIZE_T_MAX / sizeof(uint64_t)) return result_memory_error(count);
    PyRef array(zeroed_word_array(static_cast<size_t>(count)));
    if (array.p == nullptr) return nullptr;
    BufferView out;
    uint64_t *words = array_words(array.p, &out);
    if (words == nullptr) return nullptr;
    SolveOwner solve(new_solve(values, force_local));
    if (!solve) return nullptr;
    solve->into = words;
    solve->into_count = static_cast<size_t>(count);
    // Interrupted, the solve owns itself and the array's reference.
    if (run_waited(solve.get()) == nullptr) {
        solve.release();
        return nullptr;
    }
    out.release();
    if (raise_if_failed(solve.get()) != 0) return nullptr;
    if (solve->into_count < count &&
        PySequence_DelSlice(array.p, static_cast<Py_ssize_t>(solve->into_count),
                            static_cast<Py_ssize_t>(count)) != 0)
        return nullptr;
    return array.release();
}

// A local witness search that stops once the first C int of a caller's writable buffer becomes
// non-zero: the service's solvers set it from another thread (deadline, cancel, shutdown). The
// view holds the buffer for the call; the flag is read without the interpreter lock.
PyObject *find_subset_cancellable(Solve *solve, PyObject *flag, unsigned long long budget) {
    BufferView view;
    if (PyObject_GetBuffer(flag, &view.view, PyBUF_WRITABLE) != 0) return nullptr;
    view.held = true;
    if (view.view.len < static_cast<Py_ssize_t>(sizeof(int)) ||
        reinterpret_cast<uintptr_t>(view.view.buf) % alignof(int) != 0) {
        PyErr_SetString(PyExc_ValueError, "the cancel flag must be an aligned buffer of a C int");
        return nullptr;
    }
    const volatile int *cancel = static_cast<const volatile int *>(view.view.buf);
    zo_status_t status = 0;
    Py_BEGIN_ALLOW_THREADS
    const uint64_t old = zo_witness_thread_budget(budget);
    if (!solve->unreachable)
        status = zo_find_subset(solve->config, solve->input, solve->input_length, solve->target,
                                solve->indices.get(), &solve->index_count, &solve->found, cancel,
                                solve->err_buf, &solve->failure);
    zo_witness_thread_budget(old);
    Py_END_ALLOW_THREADS
    solve->status = status;
    if (status == ZO_FIND_CANCELLED) {
        PyErr_SetString(PyExc_InterruptedError, "the search was cancelled");
        return nullptr;
    }
    if (raise_if_failed(solve) != 0) return nullptr;
    return solve_result(solve);
}

// The witness forms waited for: the ascending indices, or None.
PyObject *find_subset(PyObject *args, const char *format, bool force_local) {
    PyObject *values, *target, *cancel = nullptr;
    unsigned long long budget = 0;
    if (!PyArg_ParseTuple(args, format, &values, &target, &cancel, &budget)) {
        return parse_failure();
    }
    SolveOwner solve(new_witness_solve(values, target, force_local));
    if (!solve) return nullptr;
    if (cancel != nullptr && cancel != Py_None)
        return find_subset_cancellable(solve.get(), cancel, budget);
    // Interrupted, the solve owns itself.
    if (run_waited(solve.get()) == nullptr) {
        solve.release();
        return nullptr;
    }
    if (raise_if_failed(solve.get()) != 0) return nullptr;
    return solve_result(solve.get());
}

// Calls the user's callback with the result list, or with None after a failure: then inside the
// callback the failure is the exception being handled (sys.exc_info()), as for an except block.
void call_back(PyObject *callback, PyObject *result, PyObject *failure) {
    if (!PyCallable_Check(callback)) {
        // The method refuses such objects; reached only by direct callers of the trampoline.
        zo_say("_async_callback called with uncallable callback");
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callback)->tp_name);
        PyErr_WriteUnraisable(callback);
        return;
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (failure != nullptr) {
        PyErr_GetExcInfo(&type, &value, &traceback);
        Py_INCREF(Py_TYPE(failure));
        Py_INCREF(failure);
        PyErr_SetExcInfo(reinterpret_cast<PyObject *>(Py_TYPE(failure)), failure,
                         PyException_GetTraceback(failure));
    }
    PyRef returned(PyObject_CallFunctionObjArgs(callback, result ? result : Py_None, nullptr));
    if (returned.p == nullptr) PyErr_WriteUnraisable(callback);
    if (failure != nullptr) PyErr_SetExcInfo(type, value, traceback);
}

// Delivery of the callback form, on the solve's thread with the interpreter lock held.
void deliver_to_callback(Solve *solve, PyObject *callback) {
    PyRef result, failure;
    if (solve->status == 0) {
        result.p = solve_result(solve);
        if (result.p == nullptr) PyErr_WriteUnraisable(callback);
    } else {
        failure.p = solve_error(solve->err_buf, &solve->failure);
        if (failure.p == nullptr) PyErr_WriteUnraisable(callback);
    }
    call_back(callback, result.p, failure.p);
}

}  // namespace

}  // namespace zotools

using namespace zotools;

extern "C" {

/* Converts a list of ints into a malloc'ed array of unsigned 64-bit values. Returns 0 on success;
   on failure returns -1 with a Python exception set, prints the message of the failure and leaves
   the array NULL: a non-list (TypeError), a non-int item (TypeError), an int outside 0 .. 2^64 - 1
   (OverflowError), or, when `total_sum` is given, a total past 2^64 - 1 (OverflowError). */
ZO_API int _pull_input_list_from_py_obj(PyObject *inputList, uint64_t **c_input_array,
                                        size_t *input_length, uint64_t *total_sum) {
    Values values;
    const int status = read_values(inputList, ValueForms::list_only, total_sum != nullptr, values);
    *input_length = values.length;
    if (total_sum != nullptr) *total_sum = values.total;
    *c_input_array = values.copy.release();
    return status;
}

ZO_API PyObject *_generate_result_list_from_c_buf(const uint64_t *result_buffer,
                                                  size_t result_buffer_size) {
    return result_list(result_buffer, result_buffer_size, nullptr);
}

ZO_API PyObject *webinterface_complete_subset_sum(PyObject *, PyObject *args) {
    PyObject *arg;
    if (!PyArg_ParseTuple(args, "O", &arg)) return parse_failure();
    Values values;
    if (read_values(arg, ValueForms::list_only, true, values) != 0) return nullptr;
    SolveOwner solve(new_solve(values, false));
    if (!solve) return nullptr;
    if (solve->config->keep_local) return solve_into_list(std::move(solve));
    if (allocate_words(solve.get()) != 0) return nullptr;
    // Interrupted, the solve owns itself.
    if (run_waited(solve.get()) == nullptr) {
        solve.release();
        return nullptr;
    }
    if (raise_if_failed(solve.get()) != 0) return nullptr;
    return result_list(solve->output.data(), solve->output.count(), &solve->output);
}

// =============================================================================================
// Kept for C callers: _async_callback, the completion that fetch_complete_subset_sum_async hands
// results to. The module's own forms are delivered by the binding's runner
// (run_in_background in zotools_solve.cpp); both pass the same exit gate.
}  // extern "C"

namespace {

struct CCompletion {
    zo_status_t result;
    uint64_t *output_binary;
    size_t output_binary_size;
    PyObject *callback;  // a strong reference
    char *err_str;
};
void drop_completion(void *arg) {
    auto *c = static_cast<CCompletion *>(arg);
    free(c->output_binary);
    free(c->err_str);
}

void deliver_completion(void *arg) {
    auto *c = static_cast<CCompletion *>(arg);
    PyObject *list = nullptr, *failure = nullptr;
    if (c->result == 0) {
        list = result_list(c->output_binary, c->output_binary_size, nullptr);
    } else {
        failure = solve_error(c->err_str != nullptr ? c->err_str : "", nullptr);
    }
    if (list == nullptr && failure == nullptr) PyErr_WriteUnraisable(c->callback);
    call_back(c->callback, list, failure);
    Py_XDECREF(list);
    Py_XDECREF(failure);
    drop_completion(c);
    Py_DECREF(c->callback);
}

}  // namespace

extern "C" {
/* On the worker thread: takes over `output_binary`, `err_str` and the reference to
   `pyCallbackFunction`; calls the callback once, with the result list, or with None after a failed
   solve, whose ConnectionError is then the exception being handled. Once the interpreter shuts
   down nothing is called; only the buffers are released. */
ZO_API __attribute__((no_sanitize_address)) void _async_callback(
    zo_status_t result, uint64_t *output_binary, size_t output_binary_size,
    void *pyCallbackFunction, char *err_str) {
    // On the stack while the callback runs, as the worker's frames are: no red zones.
    CCompletion completion{result, output_binary, output_binary_size,
                           static_cast<PyObject *>(pyCallbackFunction), err_str};
    deliver_through_gate(deliver_completion, drop_completion, &completion);
}

// End of the routines kept for C callers.
// =============================================================================================
ZO_API PyObject *webinterface_complete_subset_sum_async(PyObject *, PyObject *args) {
    PyObject *arg, *callback;
    if (!PyArg_ParseTuple(args, "OO", &arg, &callback)) return parse_failure();
    if (!PyCallable_Check(callback)) {
        PyErr_Format(PyExc_TypeError, "callback must be callable, not %.200s",
                     Py_TYPE(callback)->tp_name);
        return nullptr;
    }
    Values values;
    if (read_values(arg, ValueForms::list_only, true, values) != 0) return nullptr;
    SolveOwner solve(new_solve(values, false));
    if (!solve || allocate_words(solve.get()) != 0) return nullptr;
    Py_INCREF(callback);
    if (run_in_background(solve.get(), deliver_to_callback, callback) != 0) {
        Py_DECREF(callback);
        return nullptr;
    }
    solve.release();  // now its thread's
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

    ResultLookup words;
    if (words.open(result) < 0) return nullptr;
    const unsigned long long length = words.length();
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
               text, length);
        Py_RETURN_NONE;
    }
    const unsigned long long check_entry = v / 64;
    const unsigned check_offset = static_cast<unsigned>(v % 64);
    if (check_entry < length) return PyBool_FromLong((words.word(check_entry) >> check_offset) & 1);
    zo_say("Error occured in result check, entry %llu is out of bounds of input of length %llu\n",
           check_entry, length);
    Py_RETURN_NONE;
}

// One positional argument, unpacked as every form unpacks its arguments: a wrong number of them
// is an ArgumentError, as for the forms that take two.
static PyObject *one_argument(PyObject *args, const char *format) {
    PyObject *arg;
    if (!PyArg_ParseTuple(args, format, &arg)) return parse_failure();
    return arg;
}

static PyObject *complete_subset_sum_array(PyObject *, PyObject *args) {
    PyObject *arg = one_argument(args, "O:complete_subset_sum_array");
    return arg != nullptr ? solve_to_array(arg, false) : nullptr;
}

// The service's solvers: always in this process, whatever the environment says, on the engine
// threads they name (a local solve runs on the calling thread).
static PyObject *solve_local_array(PyObject *, PyObject *args) {
    PyObject *values;
    Py_ssize_t threads = 0;
    if (!PyArg_ParseTuple(args, "O|n:_solve_local_array", &values, &threads)) {
        return parse_failure();
    }
    const int64_t old = fmss_local_threads(threads);
    PyObject *words = solve_to_array(values, true);
    fmss_local_threads(old);
    return words;
}

static PyObject *complete_subset_sum_aio_args(PyObject *module, PyObject *args) {
    PyObject *arg = one_argument(args, "O:complete_subset_sum_aio");
    return arg != nullptr ? complete_subset_sum_aio(module, arg) : nullptr;
}

static PyObject *subset_with_sum(PyObject *, PyObject *args) {
    return find_subset(args, "OO:subset_with_sum", false);
}

// The service's witness solvers: always in this process.
static PyObject *subset_with_sum_local(PyObject *, PyObject *args) {
    return find_subset(args, "OO|OK:_subset_with_sum_local", true);
}

PyDoc_STRVAR(subset_with_sum_doc,
             "subset_with_sum($module, values, target, /)\n--\n\n"
             "The ascending indices of values whose sum is exactly target, or None.");
PyDoc_STRVAR(subset_with_sum_aio_doc,
             "subset_with_sum_aio($module, values, target, /)\n--\n\n"
             "subset_with_sum on a worker thread; await it for the indices or None.");
PyDoc_STRVAR(subset_with_sum_local_doc,
             "_subset_with_sum_local($module, values, target, cancel=None, budget=0, /)\n--\n\n"
             "subset_with_sum solved in this process; it raises InterruptedError once the first "
             "C int of the writable buffer cancel becomes non-zero, and (with a cancel buffer) "
             "holds at most budget bytes a step where budget is not 0.");

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
    {"complete_subset_sum_array", complete_subset_sum_array, METH_VARARGS,
     "complete_subset_sum_array($module, values, /)\n--\n\n"
     "Run complete subset sum; the result as array('Q'), written in place."},
    {"complete_subset_sum_aio", complete_subset_sum_aio_args, METH_VARARGS,
     "complete_subset_sum_aio($module, values, /)\n--\n\n"
     "Run complete subset sum on a worker thread; await it for the result list."},
    {"_solve_local_array", solve_local_array, METH_VARARGS,
     "_solve_local_array($module, values, threads=0, /)\n--\n\n"
     "complete_subset_sum_array solved in this process."},
    {"subset_with_sum", subset_with_sum, METH_VARARGS, subset_with_sum_doc},
    {"subset_with_sum_aio", subset_with_sum_aio, METH_VARARGS, subset_with_sum_aio_doc},
    {"_subset_with_sum_local", subset_with_sum_local, METH_VARARGS, subset_with_sum_local_doc},
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef zox = {
    PyModuleDef_HEAD_INIT, "zox", nullptr, -1, ZOXMethods, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_zox(void) {
    PyRef module(PyModule_Create2(&zox, 1013));
    if (module.p == nullptr || init_runner() != 0 || ready_awaitable_type() != 0 ||
        add_argument_error(module.p) != 0 || add_solve_error(module.p) != 0 ||
        add_protocol(module.p) != 0 || make_word_template() != 0 ||
        PyModule_AddStringConstant(module.p, "__version__", ZOX_VERSION) != 0)
        return nullptr;
    install_diag_sink();
    // libcurl's and OpenSSL's one-time set-up reads the environment: here, with the lock held.
    zo_client_init();
    return module.release();
}

}  // extern "C"
