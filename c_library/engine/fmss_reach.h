/* The reach set of a list of items up to a limit: as a sum list while lists are the cheaper form,
   then as a bitset started from the list. Private to the library. */
#ifndef FMSS_REACH_H
#define FMSS_REACH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fmss_lists.h"
#include "fmss_pool.h"

namespace fmss {

struct Reach {
    enum Form { kSums, kRuns, kBits, kGaveUp, kCancelled } form = kSums;
    std::vector<uint64_t> sums;  // kSums: ascending
    std::vector<SumRun> runs;    // kRuns
    uint64_t ones_from = UINT64_MAX;  // kBits: bits ones_from .. limit are all set
};

/* The subset sums of `items` (ascending, each in 1 .. limit) up to `limit`. Lists longer than
   `max_list` words are not kept. Either a list comes back, or w[0 .. limit / 64] holds the sums
   (kBits: exact in bits 0 .. limit; bits above it in the last word are true sums but maybe not all
   of them). With `may_give_up`, kGaveUp comes back instead of the bitset, w untouched. Once
   *cancel (when given) turns non-zero, kCancelled comes back within an item, w undefined. The
   bitset's passes run on `team` when given. */
Reach reach_sums(const std::vector<uint64_t> &items, uint64_t limit, uint64_t *w, size_t max_list,
                 bool may_give_up, const volatile int *cancel = nullptr, Team *team = nullptr);

/* Shift-or word steps of the bitset on `items`: the estimate the planners share. */
uint64_t dense_work(const std::vector<uint64_t> &items, uint64_t limit);

/* The list's sums (none above `limit`) as bits of w[0 .. limit / 64], which are cleared first
   (on `team` when given: the first touch of fresh memory is most of the cost). */
void write_list(const Reach &r, uint64_t limit, uint64_t *w, Team *team = nullptr);

}  // namespace fmss

#endif /* FMSS_REACH_H */
