"""The inputs bench/run.py times: the seeded workloads, the engine-only families, the ratios wanted
of each, and the Python idiom zox is compared with."""
import array
import random

# name: parts (count, largest value); values are drawn uniformly from 1 .. largest with a fixed
# seed.
WORKLOADS = {
    "tiny": [(20, 100)],
    "small": [(100, 1000)],
    "medium": [(1000, 10**4)],
    "large": [(200, 10**6)],
    "many repeats": [(10**5, 100)],
    "few huge": [(16, 10**8)],
    "mixed": [(400, 50), (40, 2 * 10**5), (5, 5 * 10**6)],
    "15 huge": [(15, 11 * 10**7)],
}
TARGETS = {  # least idiom/zox ratio wanted
    "tiny": 1,
    "small": 1,
    "medium": 10,
    "large": 10,
    "many repeats": 100,
    "few huge": 10,
    "mixed": 10,
    "15 huge": 10,
}
ARRAY_TARGETS = {"15 huge": 100}  # least idiom/array ratio wanted (idiom converted to an array)
ARRAY_PEAK_TARGET = 1.1  # most peak growth of an array solve, against the result's bytes


def _band(start, count):
    return lambda rng: list(range(start, start + count))


def _factor_and_outliers(factor, count, mean, outliers):
    # Distinct multiples of `factor` averaging about `mean`, plus the outliers.
    return lambda rng: [factor * k for k in rng.sample(range(1, 2 * mean // factor), count)] + outliers


def _two_residues(modulus, multiples, ones, mean):
    def make(rng):
        ks = rng.sample(range(1, 2 * mean // modulus), multiples + ones)
        return [modulus * k for k in ks[:multiples]] + [modulus * k + 1 for k in ks[multiples:]]
    return make


# Engine-only families, timed through the C entry point against the full-width AVX2 shift-or: the
# random workloads above, and structured inputs. name: (values from a seeded rng, most engine /
# shift-or time wanted).
FAMILIES = {
    **{name: (lambda rng, name=name: workload_values(name), 1) for name in WORKLOADS},
    "band 60 from 2e6": (_band(2 * 10**6, 60), 0.05),
    "band 200 from 2e5": (_band(2 * 10**5, 200), 0.05),
    "band 1000 from 1000": (_band(1000, 1000), 0.05),
    "1 + 99 multiples of 3": (_factor_and_outliers(3, 99, 10**7, [1]), 0.1),
    "3, 8 + 98 multiples of 25": (_factor_and_outliers(25, 98, 2 * 10**6, [3, 8]), 0.1),
    "2 + 99 multiples of 6": (_factor_and_outliers(6, 99, 2 * 10**6, [2]), 0.1),
    "60 multiples of 97 + 40 = 1 mod 97": (_two_residues(97, 60, 40, 10**6), 0.25),
    "50 values = 1 mod 1000": (lambda rng: [1000 * rng.randint(1, 10**4) + 1 for _ in range(50)],
                               0.25),
    # Structures the engine has no special path for: never slower than the shift-or.
    "powers of two": (lambda rng: [2**k for k in range(27)], 1),
    "30 multiples of 1000 + 30 random": (
        lambda rng: [1000 * rng.randint(1, 4000) for _ in range(30)]
        + [rng.randint(1, 4 * 10**6) for _ in range(30)], 1),
}
MEDIUM_AND_UP = ("medium", "large", "many repeats", "few huge", "mixed", "15 huge")


def workload_values(name):
    rng = random.Random(f"zox-bench-{name}")
    return [rng.randint(1, largest) for count, largest in WORKLOADS[name] for _ in range(count)]


def idiom_bytes(values):
    r = 1
    for x in values:
        r |= r << x
    return r.to_bytes(8 * (sum(values) // 64 + 1), "little")


def python_idiom(values):
    return memoryview(idiom_bytes(values)).cast("Q").tolist()


def python_idiom_array(values):
    a = array.array("Q")
    a.frombytes(idiom_bytes(values))
    return a
