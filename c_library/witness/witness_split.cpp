// Divide and conquer over reach sets: the sums of two halves of the items, each a bitset up to the
// target, meet at a split a + b = target; each half is then solved for its own part. Only two
// bitsets live at a time, and they are gone before the halves are solved.
#include <algorithm>

#include "fmss_kernels.h"
#include "fmss_reach.h"
#include "witness_search.h"

namespace zo_witness {
namespace {

constexpr uint64_t kNoSplit = ~uint64_t{0};

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
uint64_t find_split(const Search &s, const std::vector<uint64_t> &a_sums,
                    const std::vector<uint64_t> &b_sums, uint64_t target, uint64_t guess) {
    const size_t words = static_cast<size_t>(target / 64) + 1;
    const size_t start = static_cast<size_t>(std::min(guess, target) / 64);
    auto hit = [&](size_t k) -> uint64_t {
        const uint64_t both = a_sums[k] & reversed_window(b_sums.data(), target - 64 * uint64_t{k});
        return both == 0 ? kNoSplit : 64 * uint64_t{k} + static_cast<uint64_t>(__builtin_ctzll(both));
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

uint64_t total_of(const std::vector<uint64_t> &values) {
    uint64_t t = 0;
    for (uint64_t v : values) t += v;
    return t;
}

}  // namespace

std::vector<uint64_t> reach_bits(const Search &s, const std::vector<uint64_t> &values,
                                 uint64_t limit) {
    const size_t words = static_cast<size_t>(limit / 64) + 1;
    std::vector<uint64_t> w(words, 0);
    // Sum lists may take half the bitset's memory before the bitset takes over.
    const fmss::Reach r =
        fmss::reach_sums(values, limit, w.data(), std::max<size_t>(words / 2, 4096), false,
                         s.cancel());
    if (r.form == fmss::Reach::kCancelled) throw Cancelled{};
    if (r.form != fmss::Reach::kBits) fmss::write_list(r, limit, w.data());
    return w;
}

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
        const std::vector<uint64_t> a_sums = reach_bits(s, a.values, target);
        const std::vector<uint64_t> b_sums = reach_bits(s, b.values, target);
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
