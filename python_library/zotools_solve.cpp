// Python binding, the one solve runner behind every form: a waited solve (in place, or on a thread
// of its own that Ctrl-C can abandon), a background solve delivered on its own thread, and the
// exit gate that keeps deliveries from meeting an interpreter that is shutting down.
#include "zotools_internal.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <new>

namespace zotools {

namespace {

// The waiter's side of a solve that runs on a thread of its own while its caller waits.
struct Waited {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t finished;
    bool done = false;
    bool abandoned = false;
    Solve *solve;

    // Timed on the monotonic clock, so that a change of the system time cannot stretch the wait.
    explicit Waited(Solve *s) : solve(s) {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&finished, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~Waited() {
        pthread_cond_destroy(&finished);
        pthread_mutex_destroy(&mutex);
    }
};

// Completions that end after the interpreter has begun to shut down must not touch it: asking for
// the interpreter lock then ends the thread, or worse, once the lock's state is gone. An exit hook
// closes the gate and waits, without the lock, until every completion that entered has left.
// Plain pthread objects, so no destructor runs under threads that outlive the interpreter.
struct ExitGate {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t drained = PTHREAD_COND_INITIALIZER;
    bool closed = false;
    size_t inside = 0;
};
ExitGate gate;

// A forked child has none of its parent's completion threads.
void reset_gate_in_child() {
    pthread_mutex_init(&gate.mutex, nullptr);
    pthread_cond_init(&gate.drained, nullptr);
    gate.inside = 0;
}

PyObject *close_exit_gate(PyObject *, PyObject *) {
    pthread_mutex_lock(&gate.mutex);
    gate.closed = true;
    pthread_mutex_unlock(&gate.mutex);
    PyThreadState *state = PyEval_SaveThread();
    pthread_mutex_lock(&gate.mutex);
    while (gate.inside > 0) pthread_cond_wait(&gate.drained, &gate.mutex);
    pthread_mutex_unlock(&gate.mutex);
    // Abandoned and background solves may still be talking to the service: nothing would take
    // their answers now. Stopped, each transfer ends at its next step, so the wait is short and
    // needs no limit; their last words come before the interpreter is gone.
    zo_client_stop(-1);
    take_lock_back(state);
    Py_RETURN_NONE;
}

PyMethodDef close_exit_gate_def = {"_close_exit_gate", close_exit_gate, METH_NOARGS, nullptr};

// The thread Python runs signal handlers on (Ctrl-C's KeyboardInterrupt among them); 0 when it
// could not be learnt at import, and then every thread is taken for it.
unsigned long signal_thread_ident = 0;

void learn_signal_thread() {
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef main(threading.p ? PyObject_CallMethod(threading.p, "main_thread", nullptr) : nullptr);
    PyRef ident(main.p ? PyObject_GetAttrString(main.p, "ident") : nullptr);
    if (ident.p != nullptr && PyLong_Check(ident.p))
        signal_thread_ident = PyLong_AsUnsignedLong(ident.p);
    if (PyErr_Occurred()) {
        signal_thread_ident = 0;
        PyErr_Clear();
    }
}

void run(Solve *solve) {
    if (solve->kind == SolveKind::sums) {
        solve->status = zo_solve(solve->config, solve->input, solve->input_length, solve->words(),
                                 &solve->word_count(), solve->err_buf, &solve->failure);
    } else if (solve->unreachable) {
        solve->status = 0;
        solve->found = 0;
    } else {
        solve->status = zo_find_subset(solve->config, solve->input, solve->input_length,
                                       solve->target, solve->indices.get(), &solve->index_count,
                                       &solve->found, &solve->cancel, solve->err_buf,
                                       &solve->failure);
    }
}

void run_in_place(Solve *solve) {
    // The solve touches only its own buffers, so other Python threads may run meanwhile.
    PyThreadState *state = PyEval_SaveThread();
    run(solve);
    take_lock_back(state);
}

// A remote solve on the signal thread runs there without the lock and lets the signal handlers
// run between its steps: a thread per solve and a waiter would cost every call two switches.
struct SignalWatch {
    zo_interrupt_check_t check;
    PyThreadState *state;
};

int run_signal_handlers(void *arg) {
    auto *watch = static_cast<SignalWatch *>(arg);
    take_lock_back(watch->state);
    const int raised = PyErr_CheckSignals();
    watch->state = PyEval_SaveThread();
    return raised != 0;
}

// False when a handler raised: its exception is set, and the solve ended where it was.
bool run_watched(Solve *solve) {
    SignalWatch watch{{run_signal_handlers, nullptr, 0}, nullptr};
    watch.check.arg = &watch;
    zo_interrupt_check_t *outer = zo_client_watch(&watch.check);
    watch.state = PyEval_SaveThread();
    run(solve);
    take_lock_back(watch.state);
    zo_client_watch(outer);
    return watch.check.interrupted == 0;
}

void deliver_solve(void *arg) {
    auto *solve = static_cast<Solve *>(arg);
    if (solve->deliver != nullptr) solve->deliver(solve, solve->context);
    delete solve;
}

// What it holds of Python's is left to the exiting process.
void drop_solve(void *arg) {
    auto *solve = static_cast<Solve *>(arg);
    solve->keep_alive = nullptr;
    solve->context = nullptr;
    delete solve;
}

// The end of a solve on its own thread: delivered (a background solve) or released (an abandoned
// one) under the interpreter lock, unless the gate has closed.
void finish_on_own_thread(Solve *solve) { deliver_through_gate(deliver_solve, drop_solve, solve); }

void *run_background(void *arg) {
    auto *solve = static_cast<Solve *>(arg);
    run(solve);
    finish_on_own_thread(solve);
    return nullptr;
}

void *run_waited_body(void *arg) {
    auto *waited = static_cast<Waited *>(arg);
    run(waited->solve);
    pthread_mutex_lock(&waited->mutex);
    waited->done = true;
    const bool abandoned = waited->abandoned;
    pthread_cond_signal(&waited->finished);
    pthread_mutex_unlock(&waited->mutex);
    if (abandoned) {
        Solve *solve = waited->solve;
        delete waited;
        finish_on_own_thread(solve);
    }
    return nullptr;
}

enum class WaitEnd { finished, abandoned, interrupted_after_finishing };

// Waits in slices with the interpreter lock released, checking for signals between them. When a
// signal handler raised, its exception is set and the solve is abandoned to its thread, unless it
// had finished meanwhile.
WaitEnd wait_for(Waited *waited) {
    for (;;) {
        bool done;
        PyThreadState *state = PyEval_SaveThread();
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 100 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000 * 1000 * 1000) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000 * 1000 * 1000;
        }
        pthread_mutex_lock(&waited->mutex);
        while (!waited->done) {
            if (pthread_cond_timedwait(&waited->finished, &waited->mutex, &deadline) == ETIMEDOUT)
                break;
        }
        done = waited->done;
        pthread_mutex_unlock(&waited->mutex);
        take_lock_back(state);
        if (done) return WaitEnd::finished;
        if (PyErr_CheckSignals() != 0) {
            pthread_mutex_lock(&waited->mutex);
            waited->abandoned = !waited->done;
            const bool abandoned = waited->abandoned;
            // A local witness stops at its engine's next look; until then its thread owns it.
            if (abandoned) __atomic_store_n(&waited->solve->cancel, 1, __ATOMIC_RELAXED);
            pthread_mutex_unlock(&waited->mutex);
            return abandoned ? WaitEnd::abandoned : WaitEnd::interrupted_after_finishing;
        }
    }
}

}  // namespace

void take_lock_back(PyThreadState *state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // The interpreter ends a thread asking for its lock once it shuts down (the only way out
        // of this call but a return; its unwinding has no exception object to bind): unwinding
        // would run the destructors of every frame above, and those give back Python objects, a
        // buffer view among them, without the lock. The thread waits here for the process to end.
        if (!interpreter_finalizing()) throw;
        for (;;) pause();
    }
}

PyGILState_STATE take_lock() {
    try {
        return PyGILState_Ensure();
    } catch (...) {
        // As above; a thread of the library's own also has the library's frames above it, and a
        // catch-all among them would end the process rather than let the unwinding through.
        if (!interpreter_finalizing()) throw;
        for (;;) pause();
    }
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

Solve::~Solve() {
    free(input);
    zo_config_free(config);
    Py_XDECREF(keep_alive);
    Py_XDECREF(context);
}

Solve *new_solve(Values &values, bool force_local) {
    auto *solve = new (std::nothrow) Solve;
    if (solve == nullptr) return reinterpret_cast<Solve *>(PyErr_NoMemory());
    solve->input = values.copy.release();
    solve->input_length = values.length;
    solve->total = values.total;
    // Kept in this process, a solve needs none of the remote settings from the environment.
    solve->config = force_local ? zo_config_local() : zo_config_from_env();
    if (solve->config == nullptr) {
        delete solve;
        PyErr_SetString(PyExc_MemoryError, "no memory for the solve's settings");
        return nullptr;
    }
    return solve;
}

Solve *new_witness_solve(PyObject *values_arg, PyObject *target_arg, bool force_local) {
    uint64_t target;
    bool beyond;
    if (read_target(target_arg, &target, &beyond) != 0) return nullptr;
    Values values;
    if (read_values(values_arg, ValueForms::any_ints, true, values) != 0) return nullptr;
    Solve *solve = new_solve(values, force_local);
    if (solve == nullptr) return nullptr;
    solve->kind = SolveKind::witness;
    solve->target = target;
    solve->unreachable = beyond || target > solve->total;
    const size_t room = solve->input_length > 0 ? solve->input_length : 1;
    solve->indices.reset(static_cast<size_t *>(malloc(room * sizeof(size_t))));
    if (!solve->indices) {
        delete solve;
        return reinterpret_cast<Solve *>(PyErr_NoMemory());
    }
    return solve;
}

int allocate_words(Solve *solve) {
    const size_t words = static_cast<size_t>(solve->total / 64 + 1);
    if (solve->output.allocate(words)) return 0;
    result_memory_error(words);
    return -1;
}

// Local solves of every sum always finish, and so do solves on threads that handle no signals:
// nothing could interrupt their wait. A thread per solve and a waiter taking the lock ten times a
// second would cost a thousand threads solving at once most of their CPU. A remote solve on the
// signal thread runs there and checks for signals as it waits. A local witness search can take
// long, and stops when cancelled: it runs on a thread of its own that Ctrl-C can abandon.
Solve *run_waited(Solve *solve) {
    const bool finishes_at_once = solve->kind == SolveKind::witness
                                      ? solve->unreachable
                                      : solve->config->keep_local != 0;
    if (finishes_at_once ||
        (signal_thread_ident != 0 && PyThread_get_thread_ident() != signal_thread_ident)) {
        run_in_place(solve);
        return solve;
    }
    if (!solve->config->keep_local) {
        if (run_watched(solve)) return solve;
        delete solve;
        return nullptr;
    }
    auto *waited = new (std::nothrow) Waited(solve);
    if (waited == nullptr || zo_start_detached(run_waited_body, waited) != 0) {
        delete waited;
        run_in_place(solve);
        return solve;
    }
    const WaitEnd end = wait_for(waited);
    if (end == WaitEnd::abandoned) return nullptr;  // the solve's thread releases both
    delete waited;
    if (end == WaitEnd::finished) return solve;
    delete solve;
    return nullptr;
}

int raise_if_failed(const Solve *solve) {
    if (solve->status == 0) return 0;
    raise_solve_failure(solve->err_buf, &solve->failure);
    return -1;
}

int run_in_background(Solve *solve, void (*deliver)(Solve *, PyObject *), PyObject *context) {
    solve->deliver = deliver;
    solve->context = context;
    if (zo_start_detached(run_background, solve) == 0) return 0;
    solve->deliver = nullptr;
    solve->context = nullptr;
    PyErr_SetString(PyExc_RuntimeError, "can't start a thread for the solve");
    return -1;
}

void deliver_through_gate(void (*use)(void *), void (*drop)(void *), void *arg) {
    if (!gate_enter()) {
        drop(arg);
        return;
    }
    const PyGILState_STATE gil = take_lock();
    if (gate_open()) {
        use(arg);
    } else {
        drop(arg);
    }
    gate_leave();
    PyGILState_Release(gil);
}

bool gate_enter() {
    pthread_mutex_lock(&gate.mutex);
    const bool open = !gate.closed;
    if (open) gate.inside++;
    pthread_mutex_unlock(&gate.mutex);
    return open;
}

bool gate_open() {
    pthread_mutex_lock(&gate.mutex);
    const bool open = !gate.closed;
    pthread_mutex_unlock(&gate.mutex);
    return open;
}

void gate_leave() {
    pthread_mutex_lock(&gate.mutex);
    if (--gate.inside == 0) pthread_cond_broadcast(&gate.drained);
    pthread_mutex_unlock(&gate.mutex);
}

int init_runner() {
    static std::once_flag atfork_once;
    std::call_once(atfork_once, [] { pthread_atfork(nullptr, nullptr, reset_gate_in_child); });
    learn_signal_thread();
    PyRef hook(PyCFunction_New(&close_exit_gate_def, nullptr));
    if (hook.p == nullptr) return -1;
    PyRef atexit_module(PyImport_ImportModule("atexit"));
    if (atexit_module.p == nullptr) return -1;
    PyRef done(PyObject_CallMethod(atexit_module.p, "register", "O", hook.p));
    return done.p == nullptr ? -1 : 0;
}

}  // namespace zotools
