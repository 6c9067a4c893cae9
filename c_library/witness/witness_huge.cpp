// A few huge items over many small ones. Where each of the largest items passes the sum of all the
// smaller ones, the sums of the huge items are few and far apart, and a reach set of the whole
// group would mostly hold gaps: each sum h of the huge items that leaves target - h within the
// small items' total is tried on the small items alone, those nearest their middle first.
#include <algorithm>

#include "witness_lists.h"

namespace zo_witness {
namespace {

// Huge items listed at most: 2^16 sums.
constexpr size_t kMostHuge = 16;
// Items taken as huge when the way is forced, whatever their size.
constexpr size_t kForcedHuge = 4;
// Small solves tried before the usual ways take over, unless every candidate fits in this many.
constexpr size_t kMostTries = 64;

}  // namespace

int solve_by_huge(Search &s, const Group &g, uint64_t target) {
    const size_t n = g.values.size();
    uint64_t small_total = 0;
    for (uint64_t v : g.values) small_total += v;
    // The fewest huge items: the largest j whose value passes the sum of all before it.
    size_t j = n;
    for (size_t k = n; k-- > 0 && n - k <= kMostHuge;) {
        small_total -= g.values[k];
        if (g.values[k] > small_total) {
            j = k;
            break;
        }
    }
    if (forced_way() == kWayHuge && j == n && n > 1) {
        j = n - std::min(kForcedHuge, n - 1);
        small_total = 0;
        for (size_t k = 0; k < j; k++) small_total += g.values[k];
    }
    if (j == n) return kHugeMissed;
    std::vector<size_t> at;
    for (size_t k = j; k < n; k++) at.push_back(k);
    const std::vector<SumEntry> list = distinct_sums(s, g.values, at, target);
    std::vector<std::pair<uint64_t, uint64_t>> tries;  // distance from the small middle, sum
    const uint64_t middle = small_total / 2;
    for (const SumEntry &e : list) {
        if (target - e.sum > small_total) continue;
        const uint64_t rest = target - e.sum;
        tries.emplace_back(rest > middle ? rest - middle : middle - rest, e.sum);
    }
    std::sort(tries.begin(), tries.end());
    Group small;
    small.ids.assign(g.ids.begin(), g.ids.begin() + static_cast<std::ptrdiff_t>(j));
    small.values.assign(g.values.begin(), g.values.begin() + static_cast<std::ptrdiff_t>(j));
    for (size_t t = 0; t < tries.size(); t++) {
        if (t == kMostTries) return kHugeMissed;
        if (solve_group(s, small, target - tries[t].second)) {
            choose_from(s, g, at, list, tries[t].second);
            return kHugeFound;
        }
    }
    return kHugeNone;
}

}  // namespace zo_witness
