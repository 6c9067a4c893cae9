/* Sorted lists of the distinct sums of a few items, each sum with the first item that reached
   it: what the meet in the middle, the wide core and the four lists are built from. Private to
   the library. */
#ifndef ZO_WITNESS_LISTS_H
#define ZO_WITNESS_LISTS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "witness_search.h"

namespace zo_witness {

struct SumEntry {
    uint64_t sum;
    uint32_t first;  // position in `at` + 1; 0 for the empty choice
};

/* The distinct sums up to `limit` of values[at[0]], values[at[1]], ..., ascending. */
std::vector<SumEntry> distinct_sums(const Search &s, const std::vector<uint64_t> &values,
                                    const std::vector<size_t> &at, uint64_t limit);

/* Chooses the items of `g` at `at` that make `sum`, an entry of `list`. */
void choose_from(Search &s, const Group &g, const std::vector<size_t> &at,
                 const std::vector<SumEntry> &list, uint64_t sum);

/* Some a in `a`, b in `b` with a + b = target, walking from both ends: the index of a and of b,
   or false. */
bool meet(const std::vector<SumEntry> &a, const std::vector<SumEntry> &b, uint64_t target,
          size_t *ia, size_t *ib);

}  // namespace zo_witness

#endif /* ZO_WITNESS_LISTS_H */
