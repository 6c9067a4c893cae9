// Counts first: a subset of k values adds up to at least the k smallest and at most the k largest,
// so a target fixes which counts k can make it. Where values lie in a narrow band only one or two
// counts remain, and the k-subset sums fill nearly all of that span: the k smallest are slid up,
// the largest first, as far as the target allows, and one exact swap closes the last gap. What
// misses goes to the exact ways; a target no count can make is ruled out here at once.
#include <algorithm>

#include "witness_search.h"

namespace zo_witness {
namespace {

// More counts than this: the values are no band, and the slide would rarely be the cheap way.
constexpr size_t kMaxCounts = 4;

// Moves near the edges of the free slots that are tried to close the slide's last gap.
constexpr size_t kNear = 32;

struct Move {
    uint64_t diff;
    size_t from, to;  // indices into pos, positions into a
};

// After the slide the chosen slots are a low block, then free slots, then the moved ones: no
// single move up closes a gap smaller than the step out of the low block, but a move up from the
// low block and one down from the moved ones may. Leaves `gap` as it is where none does.
bool close_gap(const std::vector<uint64_t> &a, std::vector<size_t> &pos, uint64_t gap) {
    const size_t m = a.size();
    std::vector<char> taken(m, 0);
    for (size_t p : pos) taken[p] = 1;
    std::vector<size_t> free_at;
    for (size_t p = 0; p < m; p++) {
        if (!taken[p]) free_at.push_back(p);
    }
    if (free_at.empty()) return false;
    // pos holds the low block ascending from index 0, the moved ones after it.
    size_t low = 0;
    while (low < pos.size() && pos[low] < free_at[0]) low++;
    std::vector<Move> downs{Move{0, pos.size(), 0}};  // moving nothing down
    for (size_t h = low; h < pos.size() && h < low + kNear; h++) {
        const size_t c = pos[h];
        size_t f = static_cast<size_t>(std::lower_bound(free_at.begin(), free_at.end(), c) -
                                       free_at.begin());
        for (size_t n = 0; n < kNear && f-- > 0;) {
            downs.push_back(Move{a[c] - a[free_at[f]], h, free_at[f]});
            n++;
        }
    }
    std::sort(downs.begin(), downs.end(),
              [](const Move &x, const Move &y) { return x.diff < y.diff; });
    for (size_t l = low; l-- > 0 && l + kNear >= low;) {
        for (size_t f = 0; f < free_at.size() && f < kNear; f++) {
            const uint64_t up = a[free_at[f]] - a[pos[l]];
            if (up < gap) continue;
            auto it = std::lower_bound(downs.begin(), downs.end(), up - gap,
                                       [](const Move &x, uint64_t d) { return x.diff < d; });
            for (; it != downs.end() && it->diff == up - gap; ++it) {
                if (it->to == free_at[f]) continue;
                if (it->from < pos.size()) pos[it->from] = it->to;
                pos[l] = free_at[f];
                return true;
            }
        }
    }
    return false;
}

// Positions into `a` (ascending) of k values adding up to target, or empty.
std::vector<size_t> slide(const std::vector<uint64_t> &a, const std::vector<uint64_t> &prefix,
                          size_t k, uint64_t target) {
    const size_t m = a.size();
    std::vector<size_t> pos(k);
    for (size_t i = 0; i < k; i++) pos[i] = i;
    uint64_t gap = target - prefix[k];
    // Item i moves to the highest free slot it can without passing the target; the slots above
    // the last one moved are all taken, so the next item looks below it.
    size_t free_top = m;  // slots [free_top, m) are taken by moved items
    for (size_t i = k; i-- > 0 && gap != 0;) {
        if (free_top <= i + 1) break;
        const auto from = a.begin() + static_cast<std::ptrdiff_t>(i + 1);
        const auto to = a.begin() + static_cast<std::ptrdiff_t>(free_top);
        const size_t p = static_cast<size_t>(std::upper_bound(from, to, a[i] + gap) - a.begin());
        if (p == i + 1) break;  // even the next slot up passes the target
        pos[i] = p - 1;
        gap -= a[p - 1] - a[i];
        free_top = p - 1;
    }
    if (gap != 0 && !close_gap(a, pos, gap)) return {};
    return pos;
}

}  // namespace

int solve_by_band(const uint64_t *values, const std::vector<size_t> &order, uint64_t target,
                  std::vector<size_t> &picked) {
    const size_t m = order.size();
    std::vector<uint64_t> a(m), prefix(m + 1, 0);
    for (size_t i = 0; i < m; i++) {
        a[i] = values[order[i]];
        prefix[i + 1] = prefix[i] + a[i];  // a part of the checked total: no wrap
    }
    // Counts k with (k smallest) <= target <= (k largest): both ends grow with k.
    const size_t most = static_cast<size_t>(
        std::upper_bound(prefix.begin(), prefix.end(), target) - prefix.begin() - 1);
    size_t least = most + 1;
    for (size_t k = most + 1; k-- > 0;) {
        if (prefix[m] - prefix[m - k] < target) break;
        least = k;
    }
    if (least > most) return kBandNone;
    if (most - least + 1 > kMaxCounts && forced_way() != kWayBand) return kBandMissed;
    for (size_t k = least; k <= most; k++) {
        const std::vector<size_t> pos = slide(a, prefix, k, target);
        uint64_t sum = 0;
        for (size_t p : pos) sum += a[p];
        if (pos.empty() || sum != target) continue;
        for (size_t p : pos) picked.push_back(order[p]);
        return kBandFound;
    }
    return kBandMissed;
}

}  // namespace zo_witness
