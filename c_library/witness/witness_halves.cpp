// Meet in the middle: each half of the items as a sorted list of its distinct sums up to the
// target, each sum with the first item that reached it; one walk from both ends finds a pair that
// adds up to the target. Few items with a huge total take 2^(n/2) entries, not a bitset of the total.
#include <algorithm>

#include "witness_lists.h"

namespace zo_witness {

std::vector<SumEntry> distinct_sums(const Search &s, const std::vector<uint64_t> &values,
                                    const std::vector<size_t> &at, uint64_t limit) {
    std::vector<SumEntry> list{SumEntry{0, 0}}, next;
    for (size_t k = 0; k < at.size(); k++) {
        s.poll();
        const uint64_t x = values[at[k]];
        if (x > limit) continue;
        const auto fits = std::upper_bound(
            list.begin(), list.end(), limit - x,
            [](uint64_t v, const SumEntry &e) { return v < e.sum; });
        const size_t moved = static_cast<size_t>(fits - list.begin());
        next.resize(list.size() + moved);
        // Where a sum is made both ways, the older entry stays: its first item comes earlier.
        size_t i = 0, j = 0, out = 0;
        while (i < list.size() || j < moved) {
            if (j == moved || (i < list.size() && list[i].sum <= list[j].sum + x)) {
                if (j < moved && list[i].sum == list[j].sum + x) j++;
                next[out++] = list[i++];
            } else {
                next[out++] = SumEntry{list[j].sum + x, static_cast<uint32_t>(k + 1)};
                j++;
            }
        }
        next.resize(out);
        list.swap(next);
    }
    return list;
}

void choose_from(Search &s, const Group &g, const std::vector<size_t> &at,
                 const std::vector<SumEntry> &list, uint64_t sum) {
    while (sum != 0) {
        const auto e = std::lower_bound(list.begin(), list.end(), sum,
                                        [](const SumEntry &e, uint64_t v) { return e.sum < v; });
        const size_t k = at[e->first - 1];
        s.choose(g.ids[k]);
        sum -= g.values[k];
    }
}

bool meet(const std::vector<SumEntry> &a, const std::vector<SumEntry> &b, uint64_t target,
          size_t *ia, size_t *ib) {
    size_t i = 0, j = b.size();
    while (i < a.size() && j > 0) {
        // Sums past the target stop the walk before they could wrap.
        if (a[i].sum > target) return false;
        const uint64_t need = target - a[i].sum;
        if (b[j - 1].sum == need) {
            *ia = i;
            *ib = j - 1;
            return true;
        }
        if (b[j - 1].sum < need) {
            i++;
        } else {
            j--;
        }
    }
    return false;
}

bool solve_by_halves(Search &s, const Group &g, uint64_t target) {
    // Alternate items go to each half, so both hold small and large values alike.
    std::vector<size_t> at_a, at_b;
    for (size_t k = 0; k < g.values.size(); k++) (k % 2 == 0 ? at_a : at_b).push_back(k);
    const std::vector<SumEntry> a = distinct_sums(s, g.values, at_a, target);
    const std::vector<SumEntry> b = distinct_sums(s, g.values, at_b, target);
    size_t i, j;
    if (!meet(a, b, target, &i, &j)) return false;
    choose_from(s, g, at_a, a, a[i].sum);
    choose_from(s, g, at_b, b, b[j].sum);
    return true;
}

}  // namespace zo_witness
