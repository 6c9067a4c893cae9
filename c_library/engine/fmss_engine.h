/* Exact subset-sum engine behind fmss_complete_subset_sum. Private to the library. */
#ifndef FMSS_ENGINE_H
#define FMSS_ENGINE_H

#include <cstddef>
#include <cstdint>

#include "fmss_pool.h"

namespace fmss {

/* Writes the subset sums of `values` (whose sum is `total`, already known not to overflow) into
   out[0, nwords) as a bitset, 1 <= nwords <= total / 64 + 1. Every one of those words is written
   and no other. Returns 0, or FMSS_NO_MEMORY when working memory cannot be had. */
int subset_sum_words(const uint64_t *values, size_t count, uint64_t total, uint64_t *out,
                     size_t nwords);

/* s is a sum exactly when total - s is: fills bits (half, last] of w[0 .. nwords), nwords <=
   total / 64 + 1, last the highest bit they hold, from the exact bits 0 .. half (bits above half
   in its word may hold anything). Split across `team` when given. Bits ones_from .. half, when
   the caller knows them all set, are not read: their images are written as ones. */
void mirror_upper_half(uint64_t *w, size_t nwords, uint64_t total, uint64_t half,
                       Team *team = nullptr, uint64_t ones_from = UINT64_MAX);

}  // namespace fmss

#endif /* FMSS_ENGINE_H */
