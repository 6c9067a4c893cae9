// Local solver: the complete set of subset sums, computed in-process.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/fmss_engine.h"
#include "zo_internal.h"

// =============================================================================================
// Kept for C callers: the Fenwick-table search over hash weights of the reach set (fmss_read,
// update, add_new_sums, find_new_sums and the sized arrays). Nothing in the module calls them:
// their hash-guided skip can miss sums, so the driver below solves with the exact engine
// (fmss::subset_sum_words) instead.

extern "C" uint32_t fmss_read(const uint32_t *F, uint32_t k) {
    if (k == 0) return 0;
    return F[k - 1] + fmss_read(F, k & (k - 1));
}

extern "C" void update(uint32_t *F, uint32_t S, uint32_t i, uint32_t delta) {
    const uint32_t n = 2 * S;
    while (i < n) {
        F[i] += delta;
        i = i + ((i + 1) & ~i);
    }
}

extern "C" void add_new_sums(uint32_t *R, const uint32_t *P, uint32_t *F, uint32_t S, uint32_t s,
                             uint32_t value) {
    R[s] = value;
    update(F, S, s, P[s]);
    update(F, S, S + s, P[S + s]);
}

static uint32_t *sized_ar_alloc(uint32_t count) {
    auto *a = static_cast<uint32_t *>(malloc((static_cast<size_t>(count) + 1) * sizeof(uint32_t)));
    if (a) a[0] = count;
    return a;
}

extern "C" uint32_t *empty_sized_ar(void) { return sized_ar_alloc(0); }

extern "C" uint32_t *one_item_sized_ar(uint32_t v) {
    uint32_t *a = sized_ar_alloc(1);
    if (a) a[1] = v;
    return a;
}

extern "C" uint32_t *union_sized_ar(uint32_t *a, uint32_t *b) {
    if (a[0] == 0) {
        free(a);
        return b;
    }
    if (b[0] == 0) {
        free(b);
        return a;
    }
    uint32_t *u = sized_ar_alloc(a[0] + b[0]);
    if (u) {
        memcpy(u + 1, a + 1, a[0] * sizeof(uint32_t));
        memcpy(u + 1 + a[0], b + 1, b[0] * sizeof(uint32_t));
    }
    free(a);
    free(b);
    return u;
}

extern "C" void print_sized_ar(const uint32_t *a) {
    zo_say("[");
    for (uint32_t i = 0; i < a[0]; i++) zo_say(i ? ", %u" : "%u", a[i + 1]);
    zo_say("]");
}

extern "C" uint32_t *find_new_sums(const uint32_t *R, const uint32_t *F, const uint32_t *P,
                                   uint32_t S, uint32_t modulus, uint32_t lo, uint32_t hi,
                                   uint32_t value) {
    const uint32_t a1 = fmss_read(F, hi) - fmss_read(F, lo);
    const uint32_t h1 = static_cast<uint32_t>(a1 * P[S - value]) % modulus;
    const uint32_t a2 = fmss_read(F, S + hi - value) - fmss_read(F, S + lo - value);
    const uint32_t h2 = a2 % modulus;
    if (h1 == h2) return empty_sized_ar();
    if (hi == lo + 1) {
        if (lo != 0 && R[lo] == 0) return one_item_sized_ar(lo);
        return empty_sized_ar();
    }
    const uint32_t mid = (lo + hi) / 2;
    uint32_t *right = find_new_sums(R, F, P, S, modulus, mid, hi, value);
    uint32_t *left = find_new_sums(R, F, P, S, modulus, lo, mid, value);
    return union_sized_ar(left, right);
}

// End of the routines kept for C callers.
// =============================================================================================

// Exact driver: checks the total and the capacity, then lets the engine write the words.

extern "C" int fmss_complete_subset_sum(const uint64_t *values, size_t values_count,
                                        uint64_t *output, size_t *output_size) {
    uint64_t total = 0;
    for (size_t i = 0; i < values_count; i++) {
        if (__builtin_add_overflow(total, values[i], &total)) return FMSS_TOTAL_OVERFLOW;
    }
    const uint64_t need = total / 64 + 1;
    const size_t cap = *output_size;
    const size_t nwords = need <= cap ? static_cast<size_t>(need) : cap;
    if (nwords == 0) return 0;
    const int status = fmss::subset_sum_words(values, values_count, total, output, nwords);
    if (status == 0 && need <= cap) *output_size = static_cast<size_t>(need);
    return status;
}
