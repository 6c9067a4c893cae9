"""One harness for the in-process engine: its C entry point called as C callers call it, on any of
its paths, each forced through the engine's tuning knobs."""
import contextlib
import ctypes

U64 = ctypes.c_uint64
SENTINEL = 0xA5A55A5ADEADBEEF
KNOBS = ("path", "list_items", "start_as_runs", "kernel", "avx2_from_bytes", "direct_work",
         "deposit", "threads", "thread_words")
UNKNOWN_KNOB = -(2**63)
FMSS_TOTAL_OVERFLOW = -2

# The knobs that force each path. A kernel the processor lacks falls back to the best it has, so
# every kernel path runs on any machine and tests each kernel where the processor has it.
PATHS = {
    "by cost": {},
    "by cost, no shortcut": {"direct_work": 0},
    "shortcut": {"direct_work": 10**12},
    "sums": {"path": 2, "start_as_runs": 0},
    "runs": {"path": 2, "start_as_runs": 1},
    "sums turning into runs": {"path": 2, "start_as_runs": -1},
    "residues": {"path": 3},
    "residues bit by bit": {"path": 3, "deposit": 0},
    "bitset, baseline kernel": {"path": 1, "kernel": 1},
    "bitset, AVX2 kernel": {"path": 1, "kernel": 2},
    "bitset, AVX-512 kernel": {"path": 1, "kernel": 3},
    "bitset, kernel by size past the cache": {"path": 1, "avx2_from_bytes": 0},
}


class Engine:
    def __init__(self, lib):
        self._solve = lib.fmss_complete_subset_sum
        self._solve.argtypes = [ctypes.POINTER(U64), ctypes.c_size_t, ctypes.POINTER(U64),
                                ctypes.POINTER(ctypes.c_size_t)]
        self._solve.restype = ctypes.c_int
        self.tune = lib.fmss_tune
        self.tune.argtypes = [ctypes.c_int, ctypes.c_int64]
        self.tune.restype = ctypes.c_int64

    def solve(self, values, capacity, spare=3):
        """Status, the words written as one int, the size after the call, and whether the words
        past those (up to `spare` guard words past the capacity) stayed as they were."""
        src = (U64 * max(1, len(values)))(*values)
        words = capacity + spare
        guard = SENTINEL.to_bytes(8, "little")
        out = (U64 * words).from_buffer_copy(guard * words)
        size = ctypes.c_size_t(capacity)
        status = self._solve(src, len(values), out, ctypes.byref(size))
        written = min(capacity, sum(values) // 64 + 1) if status == 0 else 0
        raw = bytes(out)
        untouched = raw[8 * written:] == guard * (words - written)
        return status, int.from_bytes(raw[: 8 * written], "little"), size.value, untouched

    @contextlib.contextmanager
    def on(self, **knobs):
        """The engine with these knobs set, and as it was afterwards."""
        old = {}
        try:
            for name, value in knobs.items():
                old[name] = self.tune(KNOBS.index(name), value)
            yield self
        finally:
            for name, value in old.items():
                self.tune(KNOBS.index(name), value)
