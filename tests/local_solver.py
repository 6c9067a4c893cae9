"""The in-process solver's C entry point and its engine's tuning knobs, for the solver tests."""
import contextlib
import ctypes

U64 = ctypes.c_uint64
SENTINEL = 0xA5A55A5ADEADBEEF
KNOBS = ("path", "list_items", "start_as_runs", "kernel", "avx2_from_bytes", "direct_work",
         "deposit")
UNKNOWN_KNOB = -(2**63)


def make_solver(lib):
    fn = lib.fmss_complete_subset_sum
    fn.argtypes = [ctypes.POINTER(U64), ctypes.c_size_t, ctypes.POINTER(U64),
                   ctypes.POINTER(ctypes.c_size_t)]
    fn.restype = ctypes.c_int

    def run(values, capacity, spare=3):
        """Status, the first words of the output as one int, the size after the call, and
        whether every word past those stayed as it was. `spare` guard words follow the capacity."""
        src = (U64 * max(1, len(values)))(*values)
        words = capacity + spare
        out = (U64 * words)(*([SENTINEL] * words))
        size = ctypes.c_size_t(capacity)
        status = fn(src, len(values), out, ctypes.byref(size))
        need = sum(values) // 64 + 1 if status == 0 else 0
        written = min(capacity, need)
        raw = bytes(out)
        untouched = raw[8 * written:] == SENTINEL.to_bytes(8, "little") * (words - written)
        return status, int.from_bytes(raw[: 8 * written], "little"), size.value, untouched

    return run


def make_tuner(lib):
    fn = lib.fmss_tune
    fn.argtypes = [ctypes.c_int, ctypes.c_int64]
    fn.restype = ctypes.c_int64

    @contextlib.contextmanager
    def tuned(**knobs):
        """The engine with these knobs set, and as it was afterwards."""
        old = {}
        try:
            for name, value in knobs.items():
                old[name] = fn(KNOBS.index(name), value)
            yield
        finally:
            for name, value in old.items():
                fn(KNOBS.index(name), value)

    tuned.raw = fn
    return tuned
