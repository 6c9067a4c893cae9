// Exact in small memory: the items in four quarters, each a sorted list of its distinct sums
// (2^(n/4) entries). The sums of the first two quarters are walked upward and those of the last
// two downward, each pair list through a heap, so the 2^(n/2) pairs meet without being stored.
// Items past 64 are taken or left one by one around it. Slow for many items, but exact, bounded
// in memory, and it stops when cancelled.
#include <algorithm>

#include "witness_lists.h"

namespace zo_witness {
namespace {

// The sums a[i] + b[j] in ascending (or descending) order: a heap with one entry per entry of
// `a`, whose top is replaced in place as its pair moves on (one sift instead of a pop and a push).
class PairWalk {
public:
    PairWalk(const std::vector<SumEntry> &a, const std::vector<SumEntry> &b, bool up)
        : a_(a), b_(b), up_(up) {}
    void reset() {
        heap_.clear();
        const uint32_t j = up_ ? 0 : static_cast<uint32_t>(b_.size() - 1);
        // Keys ascending make a heap already: a is sorted, so walking up takes it in order and
        // walking down in reverse.
        const uint32_t n = static_cast<uint32_t>(a_.size());
        for (uint32_t k = 0; k < n; k++) {
            const uint32_t i = up_ ? k : n - 1 - k;
            heap_.push_back(Step{key(a_[i].sum + b_[j].sum), i, j});
        }
    }
    bool done() const { return heap_.empty(); }
    uint64_t sum() const { return up_ ? heap_[0].key : ~heap_[0].key; }
    uint64_t a_sum() const { return a_[heap_[0].i].sum; }
    uint64_t b_sum() const { return b_[heap_[0].j].sum; }
    void advance() {
        Step &t = heap_[0];
        if (up_ ? t.j + 1 < b_.size() : t.j > 0) {
            t.j = up_ ? t.j + 1 : t.j - 1;
            t.key = key(a_[t.i].sum + b_[t.j].sum);
        } else {
            t = heap_.back();
            heap_.pop_back();
            if (heap_.empty()) return;
        }
        sift_down();
    }

private:
    struct Step {
        uint64_t key;  // the sum, or its complement when walking down: the least key is on top
        uint32_t i, j;
    };
    uint64_t key(uint64_t sum) const { return up_ ? sum : ~sum; }
    void sift_down() {
        const size_t n = heap_.size();
        const Step moving = heap_[0];
        size_t at = 0;
        for (;;) {
            size_t child = 2 * at + 1;
            if (child >= n) break;
            if (child + 1 < n && heap_[child + 1].key < heap_[child].key) child++;
            if (heap_[child].key >= moving.key) break;
            heap_[at] = heap_[child];
            at = child;
        }
        heap_[at] = moving;
    }

    const std::vector<SumEntry> &a_, &b_;
    bool up_;
    std::vector<Step> heap_;
};

struct Quarters {
    std::vector<size_t> at[4];
    std::vector<SumEntry> sums[4];
};

// Whether low + high meets `target`; the walks stand on the pair when it does.
bool walk(const Search &s, PairWalk &low, PairWalk &high, uint64_t target) {
    low.reset();
    high.reset();
    for (uint64_t steps = 0; !low.done() && !high.done(); steps++) {
        if (steps % 4096 == 0) s.poll();
        // Each list's sums are at most the target, so neither pair sum wraps.
        if (high.sum() > target) {
            high.advance();
            continue;
        }
        const uint64_t need = target - high.sum();
        if (low.sum() == need) return true;
        if (low.sum() < need) {
            low.advance();
        } else {
            high.advance();
        }
    }
    return false;
}

// Tries the outer items from `k` on, each left out and then taken.
bool search_outer(Search &s, const Group &g, const std::vector<size_t> &outer, size_t k,
                  Quarters &q, PairWalk &low, PairWalk &high, uint64_t target) {
    if (k == outer.size()) {
        if (!walk(s, low, high, target)) return false;
        choose_from(s, g, q.at[0], q.sums[0], low.a_sum());
        choose_from(s, g, q.at[1], q.sums[1], low.b_sum());
        choose_from(s, g, q.at[2], q.sums[2], high.a_sum());
        choose_from(s, g, q.at[3], q.sums[3], high.b_sum());
        return true;
    }
    if (search_outer(s, g, outer, k + 1, q, low, high, target)) return true;
    const uint64_t x = g.values[outer[k]];
    if (x > target || !search_outer(s, g, outer, k + 1, q, low, high, target - x)) return false;
    s.choose(g.ids[outer[k]]);
    return true;
}

}  // namespace

double four_lists_work(size_t n) {
    // Past 64 items the quarters' lists would pass 2^16 entries each.
    const size_t inner = std::min(n, four_lists_items());
    // Heap steps of the walk, each about a quarter's width in comparisons.
    return static_cast<double>(uint64_t{1} << (inner / 2)) * static_cast<double>(inner / 4 + 1) *
           static_cast<double>(uint64_t{1} << (n - inner > 60 ? 60 : n - inner));
}

bool solve_by_four_lists(Search &s, const Group &g, uint64_t target) {
    const size_t n = g.values.size(), inner = std::min(n, four_lists_items());
    Quarters q;
    // The largest items are the outer ones: the fewest of their choices fit under the target.
    for (size_t k = 0; k < inner; k++) q.at[k % 4].push_back(k);
    std::vector<size_t> outer;
    for (size_t k = n; k-- > inner;) outer.push_back(k);
    for (int i = 0; i < 4; i++) q.sums[i] = distinct_sums(s, g.values, q.at[i], target);
    PairWalk low(q.sums[0], q.sums[1], true), high(q.sums[2], q.sums[3], false);
    return search_outer(s, g, outer, 0, q, low, high, target);
}

}  // namespace zo_witness
