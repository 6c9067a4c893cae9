"""Times zox's in-process solve against what a Python user would otherwise write.

Run with `make bench` (or `python3 bench/run.py` wherever `import zox` finds the module). In one
process and one run it times, per workload:

- zox: `zox.complete_subset_sum(values)` with ZO_KILLSWITCH=1, end to end (list in, list out), and
  `zox.complete_subset_sum_array(values)` where the module has it;
- idiom: `r = 1; for x in values: r |= r << x` on a Python int, converted to the same list of words
  (or the same array);
- plain C++: the full-width word-parallel shift-or (bench/plain_shift_or.cpp, built here with
  -O3 for AVX2, or -march=native without it), end to end through ctypes, when a C++ compiler is
  present.

Then, per input family (the workloads and structured inputs), the engine alone through its C entry
point against the plain C++ shift-or, both on warm buffers.

It prints medians and ratios, checks that every answer agrees, measures the peak memory of one
solve per workload in a fresh interpreter, and writes the tables to bench/results.md (and a chart
to bench/ratios.png when matplotlib is importable). Nothing here is a pass/fail test of speed; the
targets are reported next to the numbers.
"""
import argparse
import array
import ctypes
import datetime
import gc
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

os.environ["ZO_KILLSWITCH"] = "1"

import zox  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from report import chart, conditions, cpu_flags, fmt_mb, fmt_ms  # noqa: E402
from workloads import (ARRAY_PEAK_TARGET, ARRAY_TARGETS, FAMILIES, MEDIUM_AND_UP,  # noqa: E402
                       TARGETS, WORKLOADS, python_idiom, python_idiom_array,
                       workload_values)

def as_list(answer):
    return answer.tolist() if isinstance(answer, array.array) else answer


def build_plain_shift_or(workdir):
    """The full-width shift-or as a ctypes function, built for AVX2 when the processor has it."""
    cxx = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        return None
    so = os.path.join(workdir, "plain_shift_or.so")
    arch = "-march=x86-64-v3" if "avx2" in cpu_flags() else "-march=native"
    cmd = [cxx, "-O3", arch, "-shared", "-fPIC", "-o", so, os.path.join(HERE, "plain_shift_or.cpp")]
    if subprocess.run(cmd).returncode != 0:
        return None
    # Called as the engine is (PyDLL: no lock hand-over), so that both pay the same for a call.
    fn = ctypes.PyDLL(so).plain_subset_sums
    fn.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
    fn.restype = None
    return fn


def plain_end_to_end(fn):
    def plain(values):
        src = array.array("Q", values)
        words = sum(values) // 64 + 1
        out = (ctypes.c_uint64 * words)()
        src_addr = src.buffer_info()[0] if values else None
        fn(src_addr, len(values), ctypes.addressof(out), words)
        return memoryview(out).cast("B").cast("Q").tolist()

    return plain


def zox_parts():
    """The engine alone and the binding's list building alone, for the breakdown columns."""
    lib = ctypes.PyDLL(zox.__file__)
    solve = lib.fmss_complete_subset_sum
    solve.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                      ctypes.POINTER(ctypes.c_size_t)]
    solve.restype = ctypes.c_int
    to_list = getattr(lib, "_generate_result_list_from_c_buf", None)
    if to_list is not None:
        to_list.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        to_list.restype = ctypes.py_object
    return solve, to_list


def timed(fn, *args, calls=1):
    """Seconds per call, over `calls` back-to-back calls (so that quick calls outlast the clock's
    resolution), and the last call's result."""
    gc.collect()
    t = time.perf_counter()
    for _ in range(calls):
        result = fn(*args)
    return (time.perf_counter() - t) / calls, result


def calls_for(seconds_per_call, sample_s=0.02):
    return max(1, min(10000, int(sample_s / max(seconds_per_call, 1e-7))))


def measure(name, methods, max_rounds, budget_s):
    """Round-robin repeats, so a burst of load on the shared machine hits every method alike."""
    values = workload_values(name)
    answers, calls = {}, {}
    for m, fn in methods.items():
        first, answers[m] = timed(fn, values)
        calls[m] = calls_for(first)
    reference = answers["idiom"]
    agree = all(as_list(a) == reference for a in answers.values())
    answers.clear()
    times = {m: [] for m in methods}
    spent = 0.0
    for rnd in range(max_rounds):
        for m, fn in methods.items():
            dt, result = timed(fn, values, calls=calls[m])
            del result
            times[m].append(dt)
            spent += dt * calls[m]
        if rnd >= 2 and spent > budget_s:
            break
    return values, {m: statistics.median(t) for m, t in times.items()}, len(times["zox"]), agree


def measure_parts(values, rounds):
    solve, to_list = zox_parts()
    words = sum(values) // 64 + 1
    src = array.array("Q", values)
    out = (ctypes.c_uint64 * words)()
    size = ctypes.c_size_t()
    src_addr = src.buffer_info()[0] if values else None

    def engine():
        size.value = words
        if solve(src_addr, len(values), ctypes.addressof(out), ctypes.byref(size)) != 0:
            raise RuntimeError("solve failed")

    calls = calls_for(timed(engine)[0])
    t_solve = statistics.median(timed(engine, calls=calls)[0] for _ in range(rounds))
    t_list = None
    if to_list is not None:
        calls = calls_for(timed(to_list, ctypes.addressof(out), words)[0])
        t_list = statistics.median(timed(to_list, ctypes.addressof(out), words, calls=calls)[0]
                                   for _ in range(rounds))
    return t_solve, t_list


def measure_family(name, plain_fn, max_rounds, budget_s):
    """Engine alone against the full-width shift-or, both on warm buffers, in alternation."""
    make, _ = FAMILIES[name]
    values = make(random.Random(f"zox-family-{name}"))
    # Plain addresses for both, so that ctypes spends the same on either call.
    solve = ctypes.PyDLL(zox.__file__).fmss_complete_subset_sum
    solve.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p]
    solve.restype = ctypes.c_int
    words = sum(values) // 64 + 1
    src = array.array("Q", values or [0])
    ours = (ctypes.c_uint64 * words)()
    theirs = (ctypes.c_uint64 * words)()
    size = ctypes.c_size_t(words)  # a solve leaves it as it is
    src_addr, count, size_ref = src.buffer_info()[0], len(values), ctypes.addressof(size)
    ours_addr, theirs_addr = ctypes.addressof(ours), ctypes.addressof(theirs)

    def engine():
        if solve(src_addr, count, ours_addr, size_ref) != 0:
            raise RuntimeError("solve failed")

    def plain():
        plain_fn(src_addr, count, theirs_addr, words)

    calls = {engine: calls_for(timed(engine)[0]), plain: calls_for(timed(plain)[0])}
    agree = bytes(ours) == bytes(theirs)
    times = {engine: [], plain: []}
    spent = 0.0
    # Quick families get more rounds (up to five times as many, within a second): a sample of
    # microsecond calls is easily hit by a burst of load on a shared machine.
    for rnd in range(5 * max_rounds):
        for fn in (engine, plain):
            dt = timed(fn, calls=calls[fn])[0]
            times[fn].append(dt)
            spent += dt * calls[fn]
        if rnd + 1 >= max_rounds and (spent > 1.0 or rnd >= 2 and spent > budget_s):
            break
    return {"name": name, "count": len(values), "total": sum(values), "agree": agree,
            "engine": statistics.median(times[engine]), "plain": statistics.median(times[plain]),
            "rounds": len(times[engine])}


def peak_resident_bytes():
    # VmHWM belongs to this process image alone; ru_maxrss would carry the parent's peak over the
    # fork that started it.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def peak_child(name, method):
    """Runs in a fresh interpreter: the growth of the peak resident size over one solve."""
    values = workload_values(name)
    fn = {"zox": zox.complete_subset_sum, "array": getattr(zox, "complete_subset_sum_array", None),
          "idiom": python_idiom}[method]
    gc.collect()
    before = peak_resident_bytes()
    result = fn(values)
    after = peak_resident_bytes()
    if isinstance(result, array.array):
        print(json.dumps({"peak_growth": after - before, "result_bytes": len(result) * 8}))
        return
    own = sys.getsizeof(result)
    seen = set()
    ints = 0
    for w in result:
        if id(w) not in seen:
            seen.add(id(w))
            ints += sys.getsizeof(w)
    print(json.dumps({"peak_growth": after - before, "list_bytes": own,
                      "list_and_ints_bytes": own + ints}))


def peak(name, method):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--peak", name, method],
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--peak", nargs=2, metavar=("WORKLOAD", "METHOD"), help=argparse.SUPPRESS)
    ap.add_argument("--rounds", type=int, default=7, help="most timed repeats per workload")
    ap.add_argument("--budget", type=float, default=40.0,
                    help="seconds per workload after which no further round starts (3 at least)")
    ap.add_argument("--only", action="append", choices=list(WORKLOADS), help="run these workloads")
    ap.add_argument("--family", action="append", choices=list(FAMILIES),
                    help="time these engine-only families")
    ap.add_argument("--families-only", action="store_true",
                    help="only the engine-only families; prints them and writes nothing")
    ap.add_argument("--out", default=os.path.join(HERE, "results.md"))
    args = ap.parse_args()
    if args.peak:
        peak_child(*args.peak)
        return 0

    names = [] if args.families_only else args.only or list(WORKLOADS)
    family_names = args.family or ([] if args.only else list(FAMILIES))
    model, isa = conditions()
    load_before = os.getloadavg()
    started = time.time()
    to_array = getattr(zox, "complete_subset_sum_array", None)
    rows, families = [], []
    with tempfile.TemporaryDirectory() as tmp:
        plain_fn = build_plain_shift_or(tmp)
        methods = {"zox": zox.complete_subset_sum, "idiom": python_idiom}
        if plain_fn is not None:
            methods["plain"] = plain_end_to_end(plain_fn)
        if to_array is not None:
            methods["array"] = to_array
            methods["idiom_array"] = python_idiom_array
        for name in names:
            values, med, rounds, agree = measure(name, methods, args.rounds, args.budget)
            t_solve, t_list = measure_parts(values, rounds)
            mem = peak(name, "zox")
            row = {"name": name, "count": len(values), "total": sum(values), "rounds": rounds,
                   "agree": agree, "solve": t_solve, "list": t_list, "mem": mem, **med}
            if to_array is not None:
                row["array_mem"] = peak(name, "array")
            rows.append(row)
            print(f"{name}: " + ", ".join(f"{m} {fmt_ms(t)} ms" for m, t in med.items())
                  + f", engine {fmt_ms(t_solve)} ms, list {fmt_ms(t_list)} ms, answers agree: {agree}",
                  flush=True)
        if plain_fn is not None:
            for name in family_names:
                f = measure_family(name, plain_fn, args.rounds, args.budget)
                families.append(f)
                print(f"{name}: engine {fmt_ms(f['engine'])} ms, shift-or {fmt_ms(f['plain'])} ms, "
                      f"ratio {f['engine'] / f['plain']:.3f} (want at most {FAMILIES[name][1]}), "
                      f"answers agree: {f['agree']}", flush=True)
    if args.families_only:
        return 0 if all(f["agree"] for f in families) else 1
    elapsed = time.time() - started
    load_after = os.getloadavg()

    have_array = to_array is not None
    lines = [
        "| workload | values | total | zox ms | idiom ms | plain C++ ms | idiom / zox | plain / zox "
        "| zox engine ms | list building ms | peak growth MB | result list MB "
        + ("| zox array ms | idiom (array) ms | idiom / array | array peak / result " if have_array else "")
        + "| answers agree |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|" + ("---:|" * 4 if have_array else "")
        + "---|",
    ]
    verdicts = []
    for r in rows:
        ratio = r["idiom"] / r["zox"]
        pratio = r["plain"] / r["zox"] if r.get("plain") else None
        mem = r["mem"] or {}
        array_cells = ""
        if have_array:
            amem = r.get("array_mem") or {}
            aratio = r["idiom_array"] / r["array"]
            ashare = amem["peak_growth"] / amem["result_bytes"] if amem else None
            array_cells = (f"| {fmt_ms(r['array'])} | {fmt_ms(r['idiom_array'])} | {aratio:.1f}x "
                           f"| {'-' if ashare is None else f'{ashare:.2f}x'} ")
        lines.append(
            f"| {r['name']} | {r['count']} | {r['total']} | {fmt_ms(r['zox'])} | {fmt_ms(r['idiom'])} "
            f"| {fmt_ms(r.get('plain'))} | {ratio:.1f}x | {'-' if pratio is None else f'{pratio:.1f}x'} "
            f"| {fmt_ms(r['solve'])} | {fmt_ms(r['list'])} "
            f"| {fmt_mb(mem['peak_growth']) if mem else '-'} | {fmt_mb(mem['list_bytes']) if mem else '-'} "
            f"{array_cells}| {'yes' if r['agree'] else 'NO'} |")
        want = TARGETS[r["name"]]
        verdict = "met" if ratio >= want else "NOT met"
        if ratio < want and r["list"] is not None:
            verdict += (f" (of zox's time, the binding's list building is {r['list'] / r['zox']:.0%}, "
                        f"the engine {r['solve'] / r['zox']:.0%})")
        verdicts.append(f"- {r['name']}: idiom / zox {ratio:.1f}x, wanted at least {want}x: {verdict}")
        if r["name"] in MEDIUM_AND_UP and pratio is not None:
            verdicts.append(f"- {r['name']}: plain C++ / zox {pratio:.1f}x, wanted above 1x: "
                            f"{'met' if pratio > 1 else 'NOT met'}")
        if r["name"] == "few huge" and mem:
            share = mem["peak_growth"] / mem["list_bytes"]
            verdicts.append(f"- few huge: peak growth {share:.2f}x the result list's own size "
                            f"({fmt_mb(mem['list_and_ints_bytes'])} MB with its ints), wanted at most 2x: "
                            f"{'met' if share <= 2 else 'NOT met'}")
        if have_array and r["name"] in ARRAY_TARGETS:
            aratio = r["idiom_array"] / r["array"]
            awant = ARRAY_TARGETS[r["name"]]
            verdicts.append(f"- {r['name']}: idiom (array) / zox array {aratio:.1f}x, wanted at least "
                            f"{awant}x: {'met' if aratio >= awant else 'NOT met'}")
            amem = r.get("array_mem")
            if amem:
                ashare = amem["peak_growth"] / amem["result_bytes"]
                verdicts.append(f"- {r['name']}: array peak growth {ashare:.2f}x the result's bytes, "
                                f"wanted at most {ARRAY_PEAK_TARGET}x: "
                                f"{'met' if ashare <= ARRAY_PEAK_TARGET else 'NOT met'}")
    family_lines = [
        "| family | values | total | zox engine ms | AVX2 shift-or ms | engine / shift-or "
        "| wanted at most | answers agree |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for f in families:
        share, want = f["engine"] / f["plain"], FAMILIES[f["name"]][1]
        family_lines.append(
            f"| {f['name']} | {f['count']} | {f['total']} | {fmt_ms(f['engine'])} | {fmt_ms(f['plain'])} "
            f"| {share:.3f} | {want} | {'yes' if f['agree'] else 'NO'} |")
        verdicts.append(f"- {f['name']}: engine / full-width AVX2 shift-or {share:.3f}, wanted at most "
                        f"{want}: {'met' if share <= want else 'NOT met'}")
    conditions_text = (
        f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}, {elapsed:.0f} s; {model}, "
        f"{os.cpu_count()} cores ({isa}); Python {platform.python_version()}; load average "
        f"{load_before[0]:.1f} before, {load_after[0]:.1f} after (the machine is shared). Medians of "
        f"up to {args.rounds} round-robin repeats per workload (the 'rounds' each got: "
        + ", ".join(f"{r['name']} {r['rounds']}" for r in rows + families) + "). "
        "zox and the peers are timed end to end, list in and list out (array in the array columns, "
        "the idiom's int converted to the same array); 'zox engine' is the solve alone on a warm "
        "buffer, called through ctypes (about a microsecond a call of its own), 'list building' the "
        "binding's conversion of the result words alone. Peak growth: the rise of the peak resident "
        "size over one zox solve in a fresh interpreter. The plain C++ loop is "
        "bench/plain_shift_or.cpp built with -O3 for AVX2 (x86-64-v3).")
    text = "\n".join(["# Benchmark: in-process solve against its peers", "",
                      "Command: `make bench` (or `python3 bench/run.py`).", "", conditions_text, "",
                      "End to end, against the Python idiom and the plain C++ loop:", "",
                      *lines, "",
                      "The engine alone against the full-width AVX2 shift-or of every value, both "
                      "through ctypes on warm buffers, alternating:", "",
                      *family_lines, "", "Targets:", "", *verdicts, ""])
    if chart(rows, families, os.path.join(os.path.dirname(os.path.abspath(args.out)), "ratios.png")):
        text += "\n![ratios](ratios.png)\n"
    with open(args.out, "w") as f:
        f.write(text)
    print()
    print(text)
    return 0 if all(r["agree"] for r in rows) and all(f["agree"] for f in families) else 1


if __name__ == "__main__":
    sys.exit(main())
