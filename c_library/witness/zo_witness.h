/* Which values make a sum: one exact sub-multiset of the values that adds up to a target. */
#ifndef ZO_WITNESS_H
#define ZO_WITNESS_H

#include <stddef.h>
#include <stdint.h>

#include "hdr/zo_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZO_WITNESS_FOUND 1        /* indices written, ascending; *index_count set */
#define ZO_WITNESS_NONE 0         /* no sub-multiset reaches target */
#define ZO_WITNESS_NO_MEMORY (-1)
#define ZO_WITNESS_CANCELLED (-2) /* *cancel became non-zero */
#define ZO_WITNESS_TOO_LARGE (-3) /* the values' total passes 2^64 - 1 */

/* Writes to `indices` (caller-owned, room for `count`) the ascending positions of values whose sum
   is exactly `target`, and their number to `*index_count` (0 unless FOUND). `values` may be NULL
   when `count` is 0. `*cancel` (when `cancel` is not NULL) is read now and then while it works; once
   it is non-zero the call stops with ZO_WITNESS_CANCELLED. Safe to call on several threads at once. */
ZO_API int zo_subset_with_sum(const uint64_t *values, size_t count, uint64_t target,
                              size_t *indices, size_t *index_count, const volatile int *cancel);

/* Lowers the memory one step of a search on the calling thread may hold to `bytes` (0: no
   lower than the default, the smaller of total / 8 and half the machine's memory); returns the
   previous setting. */
uint64_t zo_witness_thread_budget(uint64_t bytes);

#ifdef __cplusplus
}
#endif

#endif /* ZO_WITNESS_H */
