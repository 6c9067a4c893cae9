// Which way a group is solved. Every group is first reduced (values above the target dropped, the
// smaller of target and total - target sought, a common factor divided out) and a target whose
// residue no choice of the few values off a common factor makes is ruled out; then its shape
// picks the way: few items take the meet in the middle, dense groups a core, groups whose table
// fits the first-item table, many items with a huge total the wide core and then the four lists,
// and the rest are split in two.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <numeric>

#include "engine/fmss_plan.h"
#include "engine/fmss_reach.h"
#include "witness_search.h"
#include "witness_table.h"

namespace zo_witness {
namespace {

std::atomic<int64_t> way_knob{kWayAuto};
std::atomic<int64_t> core_knob{24};
std::atomic<int64_t> wide_knob{40};
std::atomic<int64_t> four_knob{64};

// Beyond this many items the halves' lists (2^(n/2) entries each) cost too much unless few items
// fit under the target; and past this many entries a half's list does in any case.
constexpr size_t kMaxHalvesItems = 42;
constexpr double kMaxHalvesEntries = double(uint64_t{1} << 21);
// Reach sets costing more word steps than this are worth a wide core's try first.
constexpr double kWideFrom = double(uint64_t{1} << 26);
// One comparison of the four lists' walk takes about this many word steps of the split's.
constexpr double kFourListsStep = 16;
// Where the split's bitsets would pass this, the four lists answer instead up to kFourListsMost
// comparisons: slower, but in memory bounded by 2^16-entry lists. Where the bitsets cannot be had
// at all, the four lists answer however long they take (they stop when cancelled).
constexpr double kSplitBytesMost = double(uint64_t{1} << 30);
constexpr double kFourListsMost = double(uint64_t{1} << 40);
// Their outer items take a stack frame each: past this many, hopeless anyway, they are refused.
constexpr size_t kFourListsDeepest = 4096;
// Below this many word steps the residue check costs about what it could save.
constexpr uint64_t kResidueCheckFrom = uint64_t{1} << 18;
// More residues than this: the check gives up (nearly every residue is made anyway).
constexpr size_t kMaxResidues = 4096;
// Values sampled for a common factor.
constexpr size_t kResidueSample = 12;
// More values off the factor than this make nearly every residue: the check is not worth it.
constexpr size_t kMaxOutliers = 32;

// Every sum is a multiple of h plus a sum of the few values that are not multiples of h: a target
// whose residue mod h none of those sums has is no sum. Values sharing a factor but for a few
// would otherwise leave a reach set that never saturates to prove it. The factor comes from the
// common factors of pairs of a small sample, as the engine looks for its; the values are then
// read once.
bool residue_rules_out(const std::vector<uint64_t> &values, uint64_t target, uint64_t dense) {
    if (dense < kResidueCheckFrom || values.size() < 3) return false;
    const std::vector<uint64_t> sample = fmss::spread_sample(values, kResidueSample);
    uint64_t h = 0;
    size_t best = 0;
    fmss::each_common_factor(sample, false, [&](uint64_t f) {
        if (f < 2 || f > fmss::kMaxResidueFactor || f == h) return;
        size_t divides = 0;
        for (uint64_t v : sample) divides += v % f == 0;
        if (divides > best || (divides == best && f > h)) {
            best = divides;
            h = f;
        }
    });
    if (h == 0) return false;
    std::vector<uint64_t> outliers;
    for (uint64_t v : values) {
        if (v % h == 0) continue;
        if (outliers.size() == kMaxOutliers) return false;
        outliers.push_back(v % h);
    }
    std::vector<char> seen(static_cast<size_t>(h), 0);
    std::vector<uint64_t> made{0};
    seen[0] = 1;
    for (uint64_t x : outliers) {
        for (size_t i = 0, old = made.size(); i < old; i++) {
            const uint64_t r = (made[i] + x) % h;  // both below h <= 2^16
            if (seen[r]) continue;
            seen[r] = 1;
            made.push_back(r);
        }
        if (made.size() == h || made.size() > kMaxResidues) return false;
    }
    return !seen[static_cast<size_t>(target % h)];
}
// A bound on the entries of each half's sum list: 2^(items of a half), target + 1, and where only
// a few items fit under the target (the smallest first), the choices of at most that many.
double halves_entries(const std::vector<uint64_t> &values, uint64_t target) {
    const size_t half = (values.size() + 1) / 2;
    const size_t fit = most_fitting(values, target);
    double choices = 0, ways = 1;  // sum of C(half, i) for i <= fit, and C(half, i)
    for (size_t i = 0; i <= std::min(fit, half) && choices <= kMaxHalvesEntries; i++) {
        choices += ways;
        ways = ways * static_cast<double>(half - i) / static_cast<double>(i + 1);
    }
    const double all = half >= 63 ? 0x1p63 : static_cast<double>(uint64_t{1} << half);
    return std::min({choices, all, static_cast<double>(target) + 1});
}

// One list entry merged, against one word step of a reach set's shift-or.
constexpr double kEntryCost = 6.0;
// Word steps up to which the first-item table is the cheaper way.
constexpr double kTableWork = 1 << 16;

// Where at most four items fit: one to three, then four as two pairs (which may be missed).
int solve_few(Search &s, const Group &g, uint64_t target) {
    if (solve_by_few(s, g, target)) return kHugeFound;
    return most_fitting(g.values, target) <= 3 ? kHugeNone : solve_by_four(s, g, target);
}

bool solve_few_reduced(Search &s, const Group &g, uint64_t target) {
    const int few = solve_few(s, g, target);
    return few == kHugeMissed ? solve_by_split(s, g, target) : few == kHugeFound;
}

bool solve_reduced(Search &s, const Group &g, uint64_t target) {
    const size_t n = g.values.size();
    switch (forced_way()) {
    case kWayTable:
        if (n <= FirstItemTable::kMaxItems) return solve_by_table(s, g, target);
        break;
    case kWayHalves:
        return solve_by_halves(s, g, target);
    case kWayCore:
        return solve_by_core(s, g, target) || solve_by_split(s, g, target);
    case kWaySplit:
        return solve_by_split(s, g, target);
    case kWayWideCore:
        return solve_by_wide_core(s, g, target) || solve_by_four_lists(s, g, target);
    case kWayFourLists:
        return solve_by_four_lists(s, g, target);
    case kWayFew:
        if (most_fitting(g.values, target) <= 4) return solve_few_reduced(s, g, target);
        break;
    default:
        break;
    }
    switch (solve_by_huge(s, g, target)) {
    case kHugeFound:
        return true;
    case kHugeNone:
        return false;
    default:
        break;
    }
    // At most four items in any answer: they are sought directly.
    if (most_fitting(g.values, target) <= 4) {
        const int few = solve_few(s, g, target);
        if (few != kHugeMissed) return few == kHugeFound;
    }
    const uint64_t dense_steps = fmss::dense_work(g.values, target);
    if (residue_rules_out(g.values, target, dense_steps)) return false;
    const double dense = static_cast<double>(dense_steps);
    const double budget = static_cast<double>(s.budget());
    // Peak memory of each way, in bytes, with E the entries bound below (of each half's list):
    // - few (at most four items fit, tried above): none beyond the group for one to three items,
    //   16 * min(pairs, 2^22) for four;
    // - halves: 4 * 16 * E (each half's list and the next one while it merges);
    // - core: what the way chosen for its core (at most n / 2 items) holds;
    // - table: FirstItemTable::bytes_for(n, target), within the budget;
    // - wide core: about 16 * (2^(m/2 + 1) + 2^(2m/5)) for its m <= 48 items (50 MB at 40);
    // - four lists: 28 * 2^(k/4) * 4 + 16 * 2^17 for its k <= 64 items (10 MB), and a stack
    //   frame per outer item;
    // - split: 2 * 8 * (target / 64 + 1) where its sums need bitsets (within the budget, else the
    //   four lists answer), or sum lists of at most half that;
    // - huge: a 2^16-entry list over what the rest's way holds.
    // The budget is min(total / 8, half the machine's memory), 8 MB at least: a proof of none
    // stays within it.
    const double entries = halves_entries(g.values, target);
    if (entries <= kMaxHalvesEntries && kEntryCost * 2 * entries < dense &&
        4 * entries * 16 <= budget) {
        return solve_by_halves(s, g, target);
    }
    if (n >= 2 * first_core_items() && solve_by_core(s, g, target)) return true;
    // The table notes every new bit, so it pays only where the reach set is small; the split's
    // reach sets skip saturated words and stay sum lists where those are cheaper.
    if (n <= FirstItemTable::kMaxItems && dense <= kTableWork &&
        FirstItemTable::bytes_for(n, target) <= s.budget()) {
        return solve_by_table(s, g, target);
    }
    // Up to 64 items the four lists meet a target made in many ways within a few residues, and
    // prove none in their bounded time; past that the wide core's guesses come first.
    const double four = four_lists_work(n);
    if (n <= four_lists_items() && kFourListsStep * four <= dense) {
        return solve_by_four_lists(s, g, target);
    }
    if (n > kMaxHalvesItems && dense > kWideFrom && solve_by_wide_core(s, g, target)) return true;
    const double split_bytes = 2.0 * 8 * static_cast<double>(target / 64 + 1);
    if (kFourListsStep * four <= dense ||
        (split_bytes > kSplitBytesMost && four <= kFourListsMost)) {
        return solve_by_four_lists(s, g, target);
    }
    try {
        return solve_by_split(s, g, target);
    } catch (const std::bad_alloc &) {
        if (n > kFourListsDeepest && four > kFourListsMost) throw;
        // Nothing outside the group chose its items: what the split chose before it failed goes.
        for (uint32_t id : g.ids) s.chosen[id] = 0;
    }
    return solve_by_four_lists(s, g, target);
}

}  // namespace

int64_t forced_way() { return way_knob.load(std::memory_order_relaxed); }

size_t first_core_items() {
    return static_cast<size_t>(std::max<int64_t>(2, core_knob.load(std::memory_order_relaxed)));
}

size_t wide_core_items() {
    const int64_t items = wide_knob.load(std::memory_order_relaxed);
    return static_cast<size_t>(std::clamp<int64_t>(items, 2, 48));
}

size_t four_lists_items() {
    const int64_t items = four_knob.load(std::memory_order_relaxed);
    return static_cast<size_t>(std::clamp<int64_t>(items, 4, 64));
}

bool solve_group(Search &s, Group g, uint64_t target) {
    s.poll();
    if (target == 0) return true;
    // Values above the target take no part.
    const size_t keep = static_cast<size_t>(
        std::upper_bound(g.values.begin(), g.values.end(), target) - g.values.begin());
    g.values.resize(keep);
    g.ids.resize(keep);
    uint64_t total = 0;
    for (uint64_t v : g.values) total += v;  // a part of the input's total: no wrap
    if (target > total) return false;
    if (target == total) {
        for (uint32_t id : g.ids) s.choose(id);
        return true;
    }
    if (target > total - target) {
        // What is left out makes total - target: the smaller target costs less.
        const std::vector<uint32_t> ids = g.ids;
        if (!solve_group(s, std::move(g), total - target)) return false;
        for (uint32_t id : ids) s.chosen[id] ^= 1;
        return true;
    }
    uint64_t factor = 0;
    for (uint64_t v : g.values) {
        factor = std::gcd(factor, v);
        if (factor == 1) break;  // most groups: no need to read on
    }
    if (target % factor != 0) return false;
    if (factor > 1) {
        for (uint64_t &v : g.values) v /= factor;
        target /= factor;
    }
    return solve_reduced(s, g, target);
}

}  // namespace zo_witness

extern "C" int64_t zo_witness_tune(int knob, int64_t value) {
    switch (knob) {
    case 0:
        return zo_witness::way_knob.exchange(value);
    case 1:
        return zo_witness::core_knob.exchange(value);
    case 2:
        return zo_witness::wide_knob.exchange(value);
    case 3:
        return zo_witness::four_knob.exchange(value);
    default:
        return INT64_MIN;
    }
}
