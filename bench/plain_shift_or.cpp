// Reference for the benchmark: the plain full-width word-parallel shift-or, one pass over every
// word of the result per value, in input order. Built by bench/run.py with -O3 for AVX2
// (-march=x86-64-v3), or -march=native on processors without it.
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" void plain_subset_sums(const uint64_t *values, size_t count, uint64_t *w, size_t nwords) {
    memset(w, 0, nwords * sizeof(uint64_t));
    w[0] = 1;
    for (size_t i = 0; i < count; i++) {
        const uint64_t q = values[i] / 64;
        const unsigned r = static_cast<unsigned>(values[i] % 64);
        if (values[i] == 0 || q >= nwords) continue;
        if (r == 0) {
            for (size_t j = nwords; j-- > q;) w[j] |= w[j - q];
            continue;
        }
        for (size_t j = nwords; j-- > q + 1;) w[j] |= (w[j - q] << r) | (w[j - q - 1] >> (64 - r));
        w[q] |= w[0] << r;
    }
}
