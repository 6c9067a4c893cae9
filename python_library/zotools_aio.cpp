// Python binding, the awaitable form: the solve starts at the call; its outcome goes to the event
// loop that awaits it, through a future of that loop made at the first await. The object is a
// coroutine by protocol (__await__, send, throw, close), so asyncio.run, create_task, gather and
// plain await all take it.
#include "zotools_internal.h"

namespace zotools {

namespace {

enum class Stage { fresh, awaiting, finished };

struct Awaitable {
    PyObject_HEAD
    Stage stage;
    PyObject *outcome;  // the result list or the exception, when the solve ended before any await
    bool failed;
    PyObject *loop;     // the loop that awaits it, and its future, once awaited while solving
    PyObject *future;
    PyObject *waiting;  // the future's own iterator, which every step is handed to
    // The solve while it runs, for its cancel flag: cleared by its delivery, which comes before
    // the solve is freed; read only under the interpreter lock with the exit gate open (after
    // the gate closes, the solve may be freed undelivered).
    Solve *solve;
};

PyTypeObject *awaitable_type = nullptr;  // made once, on import

int awaitable_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *a = reinterpret_cast<Awaitable *>(self);
    Py_VISIT(a->outcome);
    Py_VISIT(a->loop);
    Py_VISIT(a->future);
    Py_VISIT(a->waiting);
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    return 0;
}

int awaitable_clear(PyObject *self) {
    auto *a = reinterpret_cast<Awaitable *>(self);
    Py_CLEAR(a->outcome);
    Py_CLEAR(a->loop);
    Py_CLEAR(a->future);
    Py_CLEAR(a->waiting);
    return 0;
}

void awaitable_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    awaitable_clear(self);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The outcome is no longer wanted: a local search still under way stops at its next look.
void abandon(Awaitable *a) {
    if (a->solve != nullptr && gate_open())
        __atomic_store_n(&a->solve->cancel, 1, __ATOMIC_RELAXED);
    a->solve = nullptr;
}

// Ends the await with `value`: StopIteration carrying it, which await turns into its result.
PyObject *stop_with(PyObject *value) {
    PyRef stop(PyObject_CallFunctionObjArgs(PyExc_StopIteration, value, nullptr));
    if (stop.p != nullptr) PyErr_SetObject(PyExc_StopIteration, stop.p);
    return nullptr;
}

// One step of the future's own iterator, its StopIteration (which carries the result) kept.
PyObject *step(PyObject *waiting) { return Py_TYPE(waiting)->tp_iternext(waiting); }

// The await is over when the future's iterator yields nothing more.
PyObject *finish_unless_yielded(Awaitable *a, PyObject *yielded) {
    if (yielded == nullptr) {
        a->stage = Stage::finished;
        abandon(a);
        awaitable_clear(reinterpret_cast<PyObject *>(a));
    }
    return yielded;
}

// The outcome of a solve that ended before any await, as the await's end.
PyObject *take_outcome(Awaitable *a) {
    a->stage = Stage::finished;
    PyRef outcome(a->outcome);
    a->outcome = nullptr;
    if (!a->failed) return stop_with(outcome.p);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(outcome.p)), outcome.p);
    return nullptr;
}

// The first step: the outcome at once when the solve has ended, else the future of the running
// loop, which the solve's delivery settles.
PyObject *first_step(Awaitable *a) {
    if (a->outcome == nullptr) {
        PyRef asyncio(PyImport_ImportModule("asyncio"));
        PyRef loop(asyncio.p ? PyObject_CallMethod(asyncio.p, "get_running_loop", nullptr)
                             : nullptr);
        PyRef future(loop.p ? PyObject_CallMethod(loop.p, "create_future", nullptr) : nullptr);
        PyRef waiting(future.p ? PyObject_CallMethod(future.p, "__await__", nullptr) : nullptr);
        if (waiting.p == nullptr) return nullptr;
        // The calls above may give the interpreter lock away, and the solve may have delivered
        // its outcome here meanwhile: then the future would wait for ever.
        if (a->outcome == nullptr) {
            a->loop = loop.release();
            a->future = future.release();
            a->waiting = waiting.release();
            a->stage = Stage::awaiting;
            return finish_unless_yielded(a, step(a->waiting));
        }
    }
    return take_outcome(a);
}

PyObject *awaitable_send(PyObject *self, PyObject *value) {
    auto *a = reinterpret_cast<Awaitable *>(self);
    switch (a->stage) {
    case Stage::fresh:
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started solve");
            return nullptr;
        }
        return first_step(a);
    case Stage::awaiting: {
        PyObject *yielded = value == Py_None ? step(a->waiting)
                                             : PyObject_CallMethod(a->waiting, "send", "O", value);
        if (yielded == nullptr && !PyErr_Occurred()) stop_with(Py_None);
        return finish_unless_yielded(a, yielded);
    }
    default:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse an already awaited solve");
        return nullptr;
    }
}

PyObject *awaitable_next(PyObject *self) { return awaitable_send(self, Py_None); }

PyObject *awaitable_throw(PyObject *self, PyObject *args) {
    auto *a = reinterpret_cast<Awaitable *>(self);
    if (a->stage == Stage::awaiting) {
        PyRef throw_method(PyObject_GetAttrString(a->waiting, "throw"));
        return finish_unless_yielded(a, throw_method.p ? PyObject_Call(throw_method.p, args, nullptr)
                                                       : nullptr);
    }
    PyObject *type, *value = nullptr, *traceback = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
    a->stage = Stage::finished;
    abandon(a);
    awaitable_clear(self);
    if (PyExceptionInstance_Check(type))
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(type)), type);
    else if (PyExceptionClass_Check(type))
        PyErr_SetObject(type, value);
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances");
    return nullptr;
}

// Closing while awaited cancels the future, so the solve's outcome is dropped when it ends.
PyObject *awaitable_close(PyObject *self, PyObject *) {
    auto *a = reinterpret_cast<Awaitable *>(self);
    if (a->stage == Stage::awaiting) {
        PyRef cancelled(PyObject_CallMethod(a->future, "cancel", nullptr));
        if (cancelled.p == nullptr) return nullptr;
    }
    a->stage = Stage::finished;
    abandon(a);
    awaitable_clear(self);
    Py_RETURN_NONE;
}

PyObject *awaitable_await(PyObject *self) {
    Py_INCREF(self);
    return self;
}

PyMethodDef awaitable_methods[] = {
    {"send", awaitable_send, METH_O, nullptr},
    {"throw", awaitable_throw, METH_VARARGS, nullptr},
    {"close", awaitable_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot awaitable_slots[] = {
    {Py_tp_doc, const_cast<char *>("A solve under way; await it for the result list.")},
    {Py_tp_dealloc, reinterpret_cast<void *>(awaitable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(awaitable_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(awaitable_clear)},
    {Py_am_await, reinterpret_cast<void *>(awaitable_await)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(awaitable_next)},
    {Py_tp_methods, awaitable_methods},
    {0, nullptr},
};

PyType_Spec awaitable_spec = {"zox._Solving", sizeof(Awaitable), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, awaitable_slots};

// Runs on the loop: settles the future unless it was cancelled meanwhile.
PyObject *settle(PyObject *, PyObject *args) {
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

PyMethodDef settle_def = {"_settle", settle, METH_VARARGS, nullptr};

// True when the loop is closed or the future already settled (cancelled): then nothing is sent.
bool loop_gone(const Awaitable *a) {
    PyRef closed(PyObject_CallMethod(a->loop, "is_closed", nullptr));
    PyRef done(closed.p != nullptr && !PyObject_IsTrue(closed.p)
                   ? PyObject_CallMethod(a->future, "done", nullptr)
                   : nullptr);
    const bool gone = done.p == nullptr || PyObject_IsTrue(done.p) != 0;
    PyErr_Clear();
    return gone;
}

// Delivery on the solve's thread, with the interpreter lock held.
void deliver_to_awaitable(Solve *solve, PyObject *self) {
    auto *a = reinterpret_cast<Awaitable *>(self);
    a->solve = nullptr;  // freed after this
    if (a->stage == Stage::finished || (a->stage == Stage::awaiting && loop_gone(a))) return;
    bool failed = solve->status != 0;
    PyRef value(failed ? (raise_solve_failure(solve->err_buf, &solve->failure), take_exception())
                       : solve_result(solve));
    if (value.p == nullptr) {
        failed = true;
        value.p = take_exception();
        if (value.p == nullptr) return;
    }
    if (a->stage == Stage::fresh) {
        a->outcome = value.release();
        a->failed = failed;
        return;
    }
    PyRef settle_fn(PyCFunction_New(&settle_def, nullptr));
    PyRef sent(settle_fn.p ? PyObject_CallMethod(a->loop, "call_soon_threadsafe", "OOOi",
                                                 settle_fn.p, a->future, value.p, failed ? 1 : 0)
                           : nullptr);
    // The loop may have closed since it was asked; nothing more is owed to it then.
    if (sent.p == nullptr) PyErr_Clear();
}

}  // namespace

int ready_awaitable_type() {
    if (awaitable_type == nullptr)
        awaitable_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&awaitable_spec));
    return awaitable_type != nullptr ? 0 : -1;
}

// An awaitable for `solve`, which it takes over and starts; nullptr with the exception set.
static PyObject *start_awaitable(Solve *solve) {
    Awaitable *a = PyObject_GC_New(Awaitable, awaitable_type);
    if (a == nullptr) {
        delete solve;
        return nullptr;
    }
    a->stage = Stage::fresh;
    a->outcome = a->loop = a->future = a->waiting = nullptr;
    a->failed = false;
    a->solve = solve;
    PyObject_GC_Track(a);
    PyRef self(reinterpret_cast<PyObject *>(a));
    Py_INCREF(self.p);  // the solve's, given back after its delivery
    if (run_in_background(solve, deliver_to_awaitable, self.p) != 0) {
        Py_DECREF(self.p);
        delete solve;
        return nullptr;
    }
    return self.release();
}

PyObject *complete_subset_sum_aio(PyObject *, PyObject *arg) {
    Values values;
    if (read_values(arg, ValueForms::any_ints, true, values) != 0) return nullptr;
    Solve *solve = new_solve(values, false);
    if (solve == nullptr) return nullptr;
    if (allocate_words(solve) != 0) {
        delete solve;
        return nullptr;
    }
    return start_awaitable(solve);
}

PyObject *subset_with_sum_aio(PyObject *, PyObject *args) {
    PyObject *values, *target;
    if (!PyArg_ParseTuple(args, "OO:subset_with_sum_aio", &values, &target))
        return parse_failure();
    Solve *solve = new_witness_solve(values, target, false);
    return solve != nullptr ? start_awaitable(solve) : nullptr;
}

}  // namespace zotools
