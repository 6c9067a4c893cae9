// Few items fit under the target: where the smallest four already pass it, every answer takes
// at most three items, and the sorted values are searched for one, two or three of them directly
// (two pointers walking in from both ends for each first item): O(n^2) steps in no memory beyond
// the group, exact, whatever the values' size. Where four fit but not five, four items are sought
// as two pairs in a sorted list of the pair sums (at most kMostPairSums of them, 16 bytes each).
#include <algorithm>

#include "witness_search.h"

namespace zo_witness {
namespace {

constexpr size_t kMostPairSums = size_t{1} << 22;

struct PairSum {
    uint64_t sum;
    uint32_t i, j;
    bool operator<(const PairSum &o) const { return sum < o.sum; }
};

// Items at positions in (from, n) making `need` as a pair: walks in from both ends.
bool pair_after(const Search &s, const std::vector<uint64_t> &v, size_t from, uint64_t need,
                size_t *a, size_t *b) {
    size_t j = from + 1, l = v.size();
    while (j + 1 < l) {
        if ((l - j) % 65536 == 0) s.poll();
        const uint64_t hi = v[l - 1];
        if (hi > need) {
            l--;
        } else if (v[j] == need - hi) {
            *a = j;
            *b = l - 1;
            return true;
        } else if (v[j] < need - hi) {
            j++;
        } else {
            l--;
        }
    }
    return false;
}

}  // namespace

size_t most_fitting(const std::vector<uint64_t> &values, uint64_t target) {
    size_t fit = 0;
    for (uint64_t left = target; fit < values.size() && values[fit] <= left; fit++) {
        left -= values[fit];
    }
    return fit;
}

bool solve_by_few(Search &s, const Group &g, uint64_t target) {
    const std::vector<uint64_t> &v = g.values;
    const auto one = std::lower_bound(v.begin(), v.end(), target);
    if (one != v.end() && *one == target) {
        s.choose(g.ids[static_cast<size_t>(one - v.begin())]);
        return true;
    }
    size_t a, b;
    // The first item of a pair below every other one: `from` is one before the first position.
    for (size_t i = 0; i <= v.size(); i++) {
        const bool pair = i == 0;
        const size_t from = pair ? SIZE_MAX : i - 1;  // a pair's items start at 0
        const uint64_t need = pair ? target : target - v[i - 1];
        if (!pair && v[i - 1] > target / 3) break;  // the smallest of three is at most a third
        s.poll();
        if (pair_after(s, v, from, need, &a, &b)) {
            if (!pair) s.choose(g.ids[i - 1]);
            s.choose(g.ids[a]);
            s.choose(g.ids[b]);
            return true;
        }
    }
    return false;
}

int solve_by_four(Search &s, const Group &g, uint64_t target) {
    const std::vector<uint64_t> &v = g.values;
    const size_t n = v.size();
    if (n < 4 || n > UINT32_MAX) return kHugeMissed;
    // A pair of an answer leaves at least the two smallest values to the other pair.
    const uint64_t limit = target - v[0] - v[1];
    size_t count = 0;
    for (size_t i = 0; i < n && v[i] <= limit; i++) {
        const auto after = v.begin() + static_cast<std::ptrdiff_t>(i) + 1;
        count += static_cast<size_t>(std::upper_bound(after, v.end(), limit - v[i]) - after);
        if (count > kMostPairSums) return kHugeMissed;
    }
    std::vector<PairSum> pairs;
    pairs.reserve(count);
    for (uint32_t i = 0; i < n && v[i] <= limit; i++) {
        for (uint32_t j = i + 1; j < n && v[j] <= limit - v[i]; j++) {
            pairs.push_back(PairSum{v[i] + v[j], i, j});
        }
    }
    s.poll();
    std::sort(pairs.begin(), pairs.end());
    size_t lo = 0, hi = pairs.size();
    uint64_t steps = 0;
    while (lo < hi) {
        const uint64_t need = target - pairs[hi - 1].sum;  // pair sums are at most the target
        if (pairs[lo].sum < need) {
            lo++;
        } else if (pairs[lo].sum > need) {
            hi--;
        } else {
            // Runs of equal sums on both sides: any two pairs of them without a common item.
            size_t lo_end = lo, hi_start = hi - 1;
            while (lo_end < pairs.size() && pairs[lo_end].sum == pairs[lo].sum) lo_end++;
            while (hi_start > 0 && pairs[hi_start - 1].sum == pairs[hi - 1].sum) hi_start--;
            for (size_t a = lo; a < lo_end; a++) {
                for (size_t b = hi_start; b < hi; b++) {
                    if (++steps % 65536 == 0) s.poll();
                    const PairSum &p = pairs[a], &q = pairs[b];
                    if (p.i == q.i || p.i == q.j || p.j == q.i || p.j == q.j) continue;
                    for (uint32_t k : {p.i, p.j, q.i, q.j}) s.choose(g.ids[k]);
                    return kHugeFound;
                }
            }
            lo = lo_end;
            hi = hi_start;
        }
    }
    return kHugeNone;
}

}  // namespace zo_witness
