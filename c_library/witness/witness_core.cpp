// A core and a greedy rest. When a few items spread over the group make every sum in a band
// [low, core total - low] at least as wide as any other item, the others can be taken largest
// first while they leave at least `low` of the target: what is left then lies in the band, and the
// core's first-item table names the items that make it. Dense inputs need a few dozen core items,
// so the answer costs far less than any reach set of the whole group.
#include <algorithm>

#include "fmss_reach.h"
#include "witness_search.h"
#include "witness_table.h"

namespace zo_witness {
namespace {

// The lowest a with every bit of [a, top] set, or top + 1 when bit top is clear.
uint64_t band_bottom(const std::vector<uint64_t> &w, uint64_t top) {
    size_t k = static_cast<size_t>(top / 64);
    const unsigned b = static_cast<unsigned>(top % 64);
    // Bits above `top` in its word count as set.
    uint64_t word = w[k] | (b == 63 ? 0 : ~uint64_t{0} << (b + 1));
    while (true) {
        if (word != ~uint64_t{0}) {
            return 64 * static_cast<uint64_t>(k) + 64 - static_cast<uint64_t>(__builtin_clzll(~word));
        }
        if (k == 0) return 0;
        word = w[--k];
    }
}

}  // namespace

bool solve_by_core(Search &s, const Group &g, uint64_t target) {
    const size_t n = g.values.size();
    // The core may cost a small share of what a reach set of the whole group would.
    const uint64_t whole = fmss::dense_work(g.values, target);
    for (size_t m = first_core_items(); m >= 2 && 2 * m <= n && m <= 255; m *= 2) {
        // Spread over the ascending values; the largest value is in the core.
        std::vector<size_t> at(m);
        std::vector<char> in_core(n, 0);
        std::vector<uint64_t> core(m);
        uint64_t core_total = 0;
        for (size_t k = 0; k < m; k++) {
            at[k] = k * (n - 1) / (m - 1);
            in_core[at[k]] = 1;
            core[k] = g.values[at[k]];
            core_total += core[k];
        }
        const uint64_t half = core_total / 2;
        if (FirstItemTable::bytes_for(m, half) > s.budget()) break;
        if (m * (half / 64 + 1) > std::max<uint64_t>(whole / 4, 1 << 16)) break;
        const FirstItemTable table(s, core, half);
        // The core's sums mirror about half its total.
        const uint64_t low = band_bottom(table.words(), half);
        if (low > half || target < low) continue;
        uint64_t largest_rest = 0;
        for (size_t k = n; k-- > 0;) {
            if (!in_core[k]) {
                largest_rest = g.values[k];
                break;
            }
        }
        if (core_total - 2 * low + 1 < largest_rest) continue;
        // Largest first: whatever is skipped is larger than what is left over the band's bottom,
        // so that stays below the band's width. With nothing skipped, target <= total / 2 keeps
        // the rest inside the band too.
        uint64_t taken = 0;
        std::vector<uint32_t> picked;
        for (size_t k = n; k-- > 0;) {
            if (in_core[k] || taken + g.values[k] > target - low) continue;
            taken += g.values[k];
            picked.push_back(g.ids[k]);
        }
        const uint64_t rest = target - taken;
        for (uint32_t id : picked) s.choose(id);
        if (rest <= half) {
            for (size_t k : table.items_of(rest)) s.choose(g.ids[at[k]]);
        } else {
            // Above the middle: the core items that do not make core_total - rest.
            std::vector<char> out(m, 1);
            for (size_t k : table.items_of(core_total - rest)) out[k] = 0;
            for (size_t k = 0; k < m; k++) {
                if (out[k]) s.choose(g.ids[at[k]]);
            }
        }
        return true;
    }
    return false;
}

}  // namespace zo_witness
