// Sum lists of the exact engine. Both merges take the smaller head each step; the sum merge does
// it without branches, since with random sums the comparison is a coin toss the predictor loses.
#include "fmss_lists.h"

#include <algorithm>

namespace fmss {

size_t merge_two(const uint64_t *u, size_t nu, const uint64_t *v, size_t nv, uint64_t x,
                 uint64_t *out) {
    size_t i = 0, j = 0, k = 0;
    // Both sides strictly ascending: equal heads move both, and no sum comes out twice.
    while (i < nu && j < nv) {
        const uint64_t p = u[i], q = v[j] + x;
        out[k++] = p < q ? p : q;
        i += p <= q;
        j += q <= p;
    }
    while (i < nu) out[k++] = u[i++];
    while (j < nv) out[k++] = v[j++] + x;
    return k;
}

size_t merge_sums(const uint64_t *a, size_t n, size_t m, uint64_t x, uint64_t *out) {
    return merge_two(a, n, a, m, x, out);
}

size_t merge_runs(const SumRun *a, size_t n, size_t m, uint64_t x, uint64_t limit, SumRun *out) {
    size_t i = 0, j = 0, k = 0;
    while (i < n || j < m) {
        uint64_t lo, hi;
        if (j == m || (i < n && a[i].lo <= a[j].lo + x)) {
            lo = a[i].lo;
            hi = a[i].hi;
            i++;
        } else {
            lo = a[j].lo + x;
            hi = std::min(a[j].hi + x, limit);
            j++;
        }
        if (k != 0 && lo <= out[k - 1].hi + 1) {
            out[k - 1].hi = std::max(out[k - 1].hi, hi);
        } else {
            out[k++] = SumRun{lo, hi};
        }
    }
    return k;
}

size_t runs_of(const uint64_t *sums, size_t n, SumRun *out) {
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        if (k != 0 && sums[i] == out[k - 1].hi + 1) {
            out[k - 1].hi = sums[i];
        } else {
            out[k++] = SumRun{sums[i], sums[i]};
        }
    }
    return k;
}

}  // namespace fmss
