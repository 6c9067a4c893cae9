// Meet in the middle: each half of the items as a sorted list of its distinct sums up to the
// target, each sum with the first item that reached it; one walk from both ends finds a pair that
// adds up to the target. Few items with a huge total take 2^(n/2) entries, not a bitset of the total.
#include <algorithm>

#include "witness_search.h"

namespace zo_witness {
namespace {

struct Entry {
    uint64_t sum;
    uint32_t first;  // position in the half + 1; 0 for the empty choice
};

// The distinct sums up to `limit` of values[at[0]], values[at[1]], ...
std::vector<Entry> half_sums(const Search &s, const std::vector<uint64_t> &values,
                             const std::vector<size_t> &at, uint64_t limit) {
    std::vector<Entry> list{Entry{0, 0}}, next;
    for (size_t k = 0; k < at.size(); k++) {
        s.poll();
        const uint64_t x = values[at[k]];
        const auto fits = std::upper_bound(
            list.begin(), list.end(), limit - x,
            [](uint64_t v, const Entry &e) { return v < e.sum; });
        const size_t moved = static_cast<size_t>(fits - list.begin());
        next.resize(list.size() + moved);
        // Where a sum is made both ways, the older entry stays: its first item comes earlier.
        size_t i = 0, j = 0, out = 0;
        while (i < list.size() || j < moved) {
            if (j == moved || (i < list.size() && list[i].sum <= list[j].sum + x)) {
                if (j < moved && list[i].sum == list[j].sum + x) j++;
                next[out++] = list[i++];
            } else {
                next[out++] = Entry{list[j].sum + x, static_cast<uint32_t>(k + 1)};
                j++;
            }
        }
        next.resize(out);
        list.swap(next);
    }
    return list;
}

// Chooses the items of the half that make `sum`, an entry of `list`.
void choose_from(Search &s, const Group &g, const std::vector<size_t> &at,
                 const std::vector<Entry> &list, uint64_t sum) {
    while (sum != 0) {
        const auto e = std::lower_bound(list.begin(), list.end(), sum,
                                        [](const Entry &e, uint64_t v) { return e.sum < v; });
        const size_t k = at[e->first - 1];
        s.choose(g.ids[k]);
        sum -= g.values[k];
    }
}

}  // namespace

bool solve_by_halves(Search &s, const Group &g, uint64_t target) {
    // Alternate items go to each half, so both hold small and large values alike.
    std::vector<size_t> at_a, at_b;
    for (size_t k = 0; k < g.values.size(); k++) (k % 2 == 0 ? at_a : at_b).push_back(k);
    const std::vector<Entry> a = half_sums(s, g.values, at_a, target);
    const std::vector<Entry> b = half_sums(s, g.values, at_b, target);
    size_t i = 0, j = b.size();
    while (i < a.size() && j > 0) {
        const uint64_t sum = a[i].sum + b[j - 1].sum;  // both at most the target: no wrap
        if (sum == target) {
            choose_from(s, g, at_a, a, a[i].sum);
            choose_from(s, g, at_b, b, b[j - 1].sum);
            return true;
        }
        if (sum < target) {
            i++;
        } else {
            j--;
        }
    }
    return false;
}

}  // namespace zo_witness
