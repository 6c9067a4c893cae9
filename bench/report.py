"""How bench/run.py reports: the machine's conditions, number formats and the ratio chart."""
import platform

from workloads import FAMILIES, TARGETS

def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def conditions():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model in ("", platform.machine()):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    flags = cpu_flags()
    isa = ", ".join(x for x in ("avx512f", "avx2") if x in flags) or "neither avx2 nor avx512f"
    return model, isa


def fmt_ms(t):
    if t is None:
        return "-"
    return f"{t * 1e3:.4f}" if t < 0.001 else f"{t * 1e3:.3f}" if t < 0.01 else f"{t * 1e3:.1f}"


def fmt_mb(b):
    return f"{b / 2**20:.1f}"


def chart(rows, families, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 8))
    names = [r["name"] for r in rows]
    x = range(len(names))
    peers = [("idiom", "Python int idiom / zox list"), ("plain", "plain C++ loop / zox list"),
             ("idiom_array", "idiom (array) / zox array")]
    width = 0.8 / len(peers)
    for k, (key, label) in enumerate(peers):
        bars = [r[key] / r[key_of(key)] if r.get(key) and r.get(key_of(key)) else 0 for r in rows]
        if any(bars):
            top.bar([i - 0.4 + width * (k + 0.5) for i in x], bars, width, label=label)
    for i, r in enumerate(rows):
        top.hlines(TARGETS[r["name"]], i - 0.4, i + 0.4, colors="black", linestyles="dashed",
                   linewidth=1, label="least idiom / zox wanted" if i == 0 else None)
    top.axhline(1, color="black", linewidth=0.8)
    top.set_yscale("log")
    top.set_xticks(list(x))
    top.set_xticklabels(names, fontsize=8)
    top.set_ylabel("times faster, end to end")
    top.legend(fontsize=8)
    fnames = [f["name"] for f in families]
    fx = range(len(fnames))
    bottom.bar(list(fx), [f["plain"] / f["engine"] for f in families], 0.6,
               label="full-width AVX2 shift-or / zox engine")
    for i, f in enumerate(families):
        bottom.hlines(1 / FAMILIES[f["name"]][1], i - 0.4, i + 0.4, colors="black",
                      linestyles="dashed", linewidth=1, label="least wanted" if i == 0 else None)
    bottom.set_yscale("log")
    bottom.set_xticks(list(fx))
    bottom.set_xticklabels(fnames, fontsize=7, rotation=30, ha="right")
    bottom.set_ylabel("times faster, engine alone")
    bottom.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return True


def key_of(peer):
    """The zox method a peer is compared with."""
    return "array" if peer == "idiom_array" else "zox"
