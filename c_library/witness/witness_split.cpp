// Divide and conquer over reach sets: the sums of two halves of the items, each a bitset up to the
// target, meet at a split a + b = target; each half is then solved for its own part. Only two
// bitsets live at a time, and they are gone before the halves are solved.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/fmss_engine.h"
#include "engine/fmss_kernels.h"
#include "engine/fmss_reach.h"
#include "witness_search.h"

namespace zo_witness {
namespace {

constexpr uint64_t kNoSplit = ~uint64_t{0};

// The sums of a half up to a limit: the engine's sum list while it keeps one (no bitset is
// touched then), else a bitset.
struct FreeWords {
    void operator()(uint64_t *p) const { std::free(p); }
};

struct HalfSums {
    fmss::Reach list;
    std::unique_ptr<uint64_t[], FreeWords> bits;
};

// The list as runs, up to the limit.
std::vector<fmss::SumRun> runs_of(const fmss::Reach &r) {
    if (r.form == fmss::Reach::kRuns) return r.runs;
    std::vector<fmss::SumRun> runs(r.sums.size());
    runs.resize(fmss::runs_of(r.sums.data(), r.sums.size(), runs.data()));
    return runs;
}

// The sums of the values up to `limit`. They mirror about half their total, so only those up to
// the half are computed, and the rest copied from them. A sum list needs no bitset: the bitset
// (limit / 64 + 1 words, both halves' within the search's budget) is allocated only once the list
// gives up, and the list is then built again into it (at most what the list cost so far, which
// the switch keeps below what the bitset costs).
HalfSums half_sums(const Search &s, const std::vector<uint64_t> &values, uint64_t limit) {
    uint64_t total = 0;
    for (uint64_t v : values) total += v;
    const uint64_t half = std::min(limit, total / 2);
    const size_t words = static_cast<size_t>(limit / 64) + 1;
    // Values above the half make no sum up to it.
    const std::vector<uint64_t> below(
        values.begin(), std::upper_bound(values.begin(), values.end(), half));
    // Sum lists may take half the bitset's memory before the bitset takes over, and their vectors
    // (a list and the next, grown by doubling) both halves' together a budget.
    const size_t max_list = std::max<size_t>(
        std::min<uint64_t>(words / 2, s.budget() / 64), 4096);
    HalfSums h;
    h.list = fmss::reach_sums(below, half, nullptr, max_list, true, s.cancel());
    if (h.list.form == fmss::Reach::kCancelled) throw Cancelled{};
    if (h.list.form == fmss::Reach::kGaveUp) {
        if (2.0 * 8 * static_cast<double>(words) > static_cast<double>(s.budget())) {
            throw std::bad_alloc();
        }
        // From malloc: a bitset too large for the machine is refused with a null, never a crash.
        h.bits.reset(static_cast<uint64_t *>(std::malloc(words * sizeof(uint64_t))));
        if (!h.bits) throw std::bad_alloc();
        h.list = fmss::reach_sums(below, half, h.bits.get(), max_list, false, s.cancel());
        if (h.list.form == fmss::Reach::kCancelled) throw Cancelled{};
        if (h.list.form == fmss::Reach::kBits) {
            if (half < limit) {
                const size_t mirrored = static_cast<size_t>(std::min(limit, total) / 64) + 1;
                fmss::mirror_upper_half(h.bits.get(), mirrored, total, half);
                std::fill(h.bits.get() + mirrored, h.bits.get() + words, 0);
            }
            return h;
        }
        h.bits.reset();  // the same steps give up at the same item: not reached
    }
    if (half < limit) {
        std::vector<fmss::SumRun> runs = runs_of(h.list);
        for (size_t k = runs.size(); k-- > 0;) {
            const uint64_t lo = std::max(total - runs[k].hi, half + 1);
            const uint64_t hi = std::min(total - runs[k].lo, limit);
            if (lo <= hi) runs.push_back(fmss::SumRun{lo, hi});
        }
        h.list.form = fmss::Reach::kRuns;
        h.list.runs = std::move(runs);
        h.list.sums.clear();
    }
    return h;
}

// Bit j: bit end - j of w (bits below 0 are clear).
uint64_t reversed_window(const uint64_t *w, uint64_t end) {
    uint64_t v;
    if (end >= 63) {
        const uint64_t start = end - 63;
        const size_t m = static_cast<size_t>(start / 64);
        const unsigned shift = static_cast<unsigned>(start % 64);
        v = w[m] >> shift;
        if (shift != 0) v |= w[m + 1] << (64 - shift);
    } else {
        v = w[0] << (63 - end);
    }
    return fmss::reverse_bits(v);
}

// Some a <= target with bit a of `a_sums` and bit target - a of `b_sums`, or kNoSplit. The scan
// starts where the halves' totals put the split, where it is most likely in dense sets.
uint64_t split_of_bits(const Search &s, const uint64_t *a_sums, const uint64_t *b_sums,
                       uint64_t target, uint64_t guess) {
    const size_t words = static_cast<size_t>(target / 64) + 1;
    const size_t start = static_cast<size_t>(std::min(guess, target) / 64);
    auto hit = [&](size_t k) -> uint64_t {
        const uint64_t at = 64 * static_cast<uint64_t>(k);
        const uint64_t both = a_sums[k] & reversed_window(b_sums, target - at);
        return both == 0 ? kNoSplit : at + static_cast<uint64_t>(__builtin_ctzll(both));
    };
    for (size_t k = start; k < words; k++) {
        if (k % 4096 == 0) s.poll();
        const uint64_t a = hit(k);
        if (a != kNoSplit) return a;
    }
    for (size_t k = start; k-- > 0;) {
        if (k % 4096 == 0) s.poll();
        const uint64_t a = hit(k);
        if (a != kNoSplit) return a;
    }
    return kNoSplit;
}

// The lowest set bit of w in [lo, hi], or kNoSplit.
uint64_t first_bit_in(const uint64_t *w, uint64_t lo, uint64_t hi) {
    for (uint64_t k = lo / 64; k <= hi / 64; k++) {
        uint64_t word = w[k];
        if (k == lo / 64) word &= ~uint64_t{0} << (lo % 64);
        if (k == hi / 64 && hi % 64 != 63) word &= (uint64_t{2} << (hi % 64)) - 1;
        if (word != 0) return 64 * k + static_cast<uint64_t>(__builtin_ctzll(word));
    }
    return kNoSplit;
}

// A split between the runs' half and the bitset's half: the runs' half's part.
uint64_t split_of_runs_and_bits(const Search &s, const std::vector<fmss::SumRun> &runs,
                                const uint64_t *bits, uint64_t target) {
    for (size_t i = 0; i < runs.size() && runs[i].lo <= target; i++) {
        if (i % 4096 == 0) s.poll();
        const uint64_t hi = std::min(runs[i].hi, target);
        const uint64_t b = first_bit_in(bits, target - hi, target - runs[i].lo);
        if (b != kNoSplit) return target - b;
    }
    return kNoSplit;
}

// A split between two run lists: the first run of `a` that meets target minus a run of `b`.
uint64_t split_of_runs(const Search &s, const std::vector<fmss::SumRun> &a,
                       const std::vector<fmss::SumRun> &b, uint64_t target) {
    size_t i = 0, j = b.size();
    while (i < a.size() && j > 0 && a[i].lo <= target) {
        if (i % 4096 == 0) s.poll();
        const fmss::SumRun &r = b[j - 1];
        if (r.lo > target) {
            j--;
            continue;
        }
        // b's run, mirrored: [target - hi, target - lo], ascending as j falls.
        const uint64_t lo = target - std::min(r.hi, target), hi = target - r.lo;
        if (a[i].hi < lo) {
            i++;
        } else if (hi < a[i].lo) {
            j--;
        } else {
            return std::max(a[i].lo, lo);
        }
    }
    return kNoSplit;
}

uint64_t total_of(const std::vector<uint64_t> &values) {
    uint64_t t = 0;
    for (uint64_t v : values) t += v;
    return t;
}

uint64_t find_split(const Search &s, const HalfSums &a, const HalfSums &b, uint64_t target,
                    uint64_t guess) {
    if (a.bits && b.bits) return split_of_bits(s, a.bits.get(), b.bits.get(), target, guess);
    if (a.bits) {
        const uint64_t part = split_of_runs_and_bits(s, runs_of(b.list), a.bits.get(), target);
        return part == kNoSplit ? kNoSplit : target - part;
    }
    if (b.bits) return split_of_runs_and_bits(s, runs_of(a.list), b.bits.get(), target);
    return split_of_runs(s, runs_of(a.list), runs_of(b.list), target);
}

}  // namespace

bool solve_by_split(Search &s, const Group &g, uint64_t target) {
    // Alternate items go to each half: both get small and large values, and about half the total.
    Group a, b;
    for (size_t k = 0; k < g.ids.size(); k++) {
        Group &half = k % 2 == 0 ? a : b;
        half.ids.push_back(g.ids[k]);
        half.values.push_back(g.values[k]);
    }
    uint64_t split;
    {
        const HalfSums a_sums = half_sums(s, a.values, target);
        const HalfSums b_sums = half_sums(s, b.values, target);
        const uint64_t ta = total_of(a.values), tb = total_of(b.values);
        const double share = static_cast<double>(ta) / (static_cast<double>(ta) + tb);
        split = find_split(s, a_sums, b_sums, target,
                           static_cast<uint64_t>(share * static_cast<double>(target)));
    }
    if (split == kNoSplit) return false;
    // Both parts are reachable, so both halves find theirs.
    return solve_group(s, std::move(a), split) && solve_group(s, std::move(b), target - split);
}

}  // namespace zo_witness
