// A core and a greedy rest. A few items spread over the group make sums that are dense around
// half their total; the other items are taken largest first while they leave at least that half of
// the target, so what is left lies just above the core's middle, where it is most likely a sum of
// the core, and the core is solved for it exactly. Dense inputs need a few dozen core items, so an
// answer costs far less than any reach set of the whole group; where the core misses, a larger one
// is tried, then the caller's other ways.
#include <algorithm>

#include "engine/fmss_reach.h"
#include "witness_search.h"

namespace zo_witness {

bool solve_by_core(Search &s, const Group &g, uint64_t target) {
    const size_t n = g.values.size();
    // The cores together may cost a small share of what a reach set of the whole group would.
    const uint64_t whole = fmss::dense_work(g.values, target);
    uint64_t spent = 0;
    for (size_t m = first_core_items(); m >= 2 && 2 * m <= n; m *= 2) {
        // Spread over the ascending values: the core holds small and large ones alike.
        std::vector<char> in_core(n, 0);
        Group core;
        uint64_t core_total = 0;
        for (size_t k = 0; k < m; k++) {
            const size_t at = k * (n - 1) / (m - 1);
            in_core[at] = 1;
            core.ids.push_back(g.ids[at]);
            core.values.push_back(g.values[at]);
            core_total += g.values[at];
        }
        spent += fmss::dense_work(core.values, core_total / 2);
        if (spent > std::max<uint64_t>(whole / 4, 1 << 16)) break;
        // Whatever is skipped is larger than what is then left over the middle. With nothing
        // skipped, target <= total / 2 keeps the rest at most the core's half.
        const uint64_t middle = std::min(core_total / 2, target);
        uint64_t taken = 0;
        std::vector<uint32_t> picked;
        for (size_t k = n; k-- > 0;) {
            if (in_core[k] || taken + g.values[k] > target - middle) continue;
            taken += g.values[k];
            picked.push_back(g.ids[k]);
        }
        if (solve_group(s, std::move(core), target - taken)) {
            for (uint32_t id : picked) s.choose(id);
            return true;
        }
    }
    return false;
}

}  // namespace zo_witness
