/* Sum lists of the exact engine: sorted distinct sums, or sorted runs of consecutive sums.
   Private to the library. */
#ifndef FMSS_LISTS_H
#define FMSS_LISTS_H

#include <cstddef>
#include <cstdint>

namespace fmss {

/* Sums lo, lo + 1, ..., hi. In a list, runs ascend and never touch: next.lo > hi + 1. */
struct SumRun {
    uint64_t lo, hi;
};

/* out = a[0 .. n) merged with a[0 .. m) + x, m <= n, x > 0; out has room for n + m. Returns the
   count. */
size_t merge_sums(const uint64_t *a, size_t n, size_t m, uint64_t x, uint64_t *out);

/* The same for u[0 .. nu) and v[0 .. nv) + x, each strictly ascending. */
size_t merge_two(const uint64_t *u, size_t nu, const uint64_t *v, size_t nv, uint64_t x,
                 uint64_t *out);

/* The same for runs, the shifted ones cut at `limit` (a[0 .. m) are those with lo + x <= limit). */
size_t merge_runs(const SumRun *a, size_t n, size_t m, uint64_t x, uint64_t limit, SumRun *out);

/* The runs of a sorted sum list, into `out` (room for n); returns their count. */
size_t runs_of(const uint64_t *sums, size_t n, SumRun *out);

}  // namespace fmss

#endif /* FMSS_LISTS_H */
