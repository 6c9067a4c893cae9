// The wide core, for many items with a huge total: no reach set fits, and halves of all the items
// would take 2^(n/2) entries. Up to 40 core items make two lists of at most 2^20 sums, up to 16
// more a list of adjustments, and the rest are taken greedily. Each adjustment near the middle
// gives the core a target of its own, checked by one walk over its two lists; many items make so
// many sums that one of a few hundred such targets nearly always is one. Misses try other cores
// and other greedy choices, then the caller's exact way.
#include <algorithm>
#include <numeric>

#include "witness_lists.h"

namespace zo_witness {
namespace {

constexpr int kRounds = 4;
constexpr size_t kTriesPerRound = 128;

uint64_t next_random(uint64_t &state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

struct Roles {
    std::vector<size_t> half_a, half_b, adjust, greedy;  // positions in the group
};

// Each round draws the core and the adjustments at random; the greedy rest goes largest first in
// round 0, in random order after.
Roles assign(size_t n, int round, uint64_t &state) {
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    // 40 core items and 16 adjustments: three lists of at most 2^20, 2^20 and 2^16 entries.
    const size_t core = std::min(wide_core_items(), n);
    const size_t adjust = std::min(core * 2 / 5, n - core);
    std::vector<size_t> core_at, adjust_at, rest;
    for (size_t k = n; k > 1; k--) std::swap(order[k - 1], order[next_random(state) % k]);
    core_at.assign(order.begin(), order.begin() + core);
    adjust_at.assign(order.begin() + core, order.begin() + core + adjust);
    rest.assign(order.begin() + core + adjust, order.end());
    std::sort(core_at.begin(), core_at.end());
    if (round == 0) std::sort(rest.begin(), rest.end(), std::greater<size_t>());
    Roles r;
    // Alternate core items to each half: both get small and large values.
    for (size_t k = 0; k < core_at.size(); k++) {
        (k % 2 == 0 ? r.half_a : r.half_b).push_back(core_at[k]);
    }
    r.adjust = std::move(adjust_at);
    r.greedy = std::move(rest);
    return r;
}

uint64_t total_at(const Group &g, const std::vector<size_t> &at) {
    uint64_t t = 0;
    for (size_t k : at) t += g.values[k];
    return t;
}

}  // namespace

bool solve_by_wide_core(Search &s, const Group &g, uint64_t target) {
    uint64_t state = g.values.size() ^ target;
    for (int round = 0; round < kRounds; round++) {
        const Roles r = assign(g.values.size(), round, state);
        const uint64_t core_half = (total_at(g, r.half_a) + total_at(g, r.half_b)) / 2;
        const uint64_t middle = std::min(core_half + total_at(g, r.adjust) / 2, target);
        uint64_t taken = 0;
        std::vector<size_t> picked;
        for (size_t k : r.greedy) {
            if (taken + g.values[k] > target - middle) continue;
            taken += g.values[k];
            picked.push_back(k);
        }
        const uint64_t left = target - taken;
        const std::vector<SumEntry> a = distinct_sums(s, g.values, r.half_a, left);
        const std::vector<SumEntry> b = distinct_sums(s, g.values, r.half_b, left);
        const std::vector<SumEntry> adj = distinct_sums(s, g.values, r.adjust, left);
        // Adjustments nearest to what leaves the core its middle come first.
        const uint64_t ideal = left - std::min(core_half, left);
        size_t hi = static_cast<size_t>(
            std::lower_bound(adj.begin(), adj.end(), ideal,
                             [](const SumEntry &e, uint64_t v) { return e.sum < v; }) -
            adj.begin());
        size_t lo = hi;
        for (size_t tries = 0; tries < kTriesPerRound && (lo > 0 || hi < adj.size()); tries++) {
            s.poll();
            size_t at;
            if (hi < adj.size() && (lo == 0 || adj[hi].sum - ideal <= ideal - adj[lo - 1].sum)) {
                at = hi++;
            } else {
                at = --lo;
            }
            size_t i, j;
            if (!meet(a, b, left - adj[at].sum, &i, &j)) continue;
            choose_from(s, g, r.half_a, a, a[i].sum);
            choose_from(s, g, r.half_b, b, b[j].sum);
            choose_from(s, g, r.adjust, adj, adj[at].sum);
            for (size_t k : picked) s.choose(g.ids[k]);
            return true;
        }
    }
    return false;
}

}  // namespace zo_witness
