// Exact in small memory: the items in four quarters, each a sorted list of its distinct sums
// (2^(n/4) entries). The pairs of the first two quarters and of the last two meet one residue
// class at a time: for each r mod M, the left pairs whose sum is r mod M go into a hash table (a
// bounded share at a time), and the right pairs whose sum is target - r mod M look their
// complement up. Every r together proves none; a target made in many ways is met within the first
// few. Items past 64 are taken or left one by one around it. Slow for many items, but exact,
// bounded in memory (the lists, their buckets and the table: 10 MB at 64 items), and it stops
// when cancelled.
#include <algorithm>

#include "witness_lists.h"

namespace zo_witness {
namespace {

// Left pairs held in the table at most; M is chosen so that a residue lists about this many.
constexpr uint64_t kMostPairs = uint64_t{1} << 16;

struct Quarters {
    std::vector<size_t> at[4];
    std::vector<SumEntry> sums[4];
};

// A quarter's list in buckets by residue mod M: the entries of residue q are at
// [start[q], start[q + 1]) of `sums` (their sums, laid out in residue order for a streaming walk)
// and `order` (their places in the list).
struct Buckets {
    std::vector<uint64_t> sums;
    std::vector<uint32_t> order, start;
    uint32_t widest = 0;
    Buckets(const std::vector<SumEntry> &list, uint64_t mask)
        : start(static_cast<size_t>(mask) + 2, 0) {
        for (const SumEntry &e : list) start[static_cast<size_t>(e.sum & mask) + 1]++;
        for (size_t q = 1; q < start.size(); q++) {
            widest = std::max(widest, start[q]);
            start[q] += start[q - 1];
        }
        sums.resize(list.size());
        order.resize(list.size());
        std::vector<uint32_t> at(start.begin(), start.end() - 1);
        for (size_t i = 0; i < list.size(); i++) {
            const uint32_t k = at[static_cast<size_t>(list[i].sum & mask)]++;
            sums[k] = list[i].sum;
            order[k] = static_cast<uint32_t>(i);
        }
    }
};

// Left pair sums by value, the entries of the first two lists that make each (a quarter holds at
// most 16 items: 2^16 entries); cleared in O(1) by moving to a fresh stamp. One slot, one line.
class PairTable {
public:
    explicit PairTable(size_t most) {
        size_t slots = 2;
        unsigned bits = 1;
        for (; slots < 2 * most; bits++) slots *= 2;
        slots_.assign(slots, Slot{0, 0, 0, 0});
        mask_ = slots - 1;
        shift_ = 64 - bits;
    }
    void clear() {
        count_ = 0;
        if (++stamp_ == 0) {
            for (Slot &slot : slots_) slot.stamp = 0;
            stamp_ = 1;
        }
    }
    size_t count() const { return count_; }
    void add(uint64_t sum, uint32_t i, uint32_t j) {
        for (size_t at = slot(sum);; at = (at + 1) & mask_) {
            Slot &slot = slots_[at];
            if (slot.stamp != stamp_) {
                slot = Slot{sum, stamp_, static_cast<uint16_t>(i), static_cast<uint16_t>(j)};
                count_++;
                return;
            }
            if (slot.sum == sum) return;  // one way to make it is enough
        }
    }
    // The entries making `sum`, or false.
    bool find(uint64_t sum, uint32_t *i, uint32_t *j) const {
        for (size_t at = slot(sum); slots_[at].stamp == stamp_; at = (at + 1) & mask_) {
            if (slots_[at].sum == sum) {
                *i = slots_[at].i;
                *j = slots_[at].j;
                return true;
            }
        }
        return false;
    }

private:
    struct Slot {
        uint64_t sum;
        uint32_t stamp;
        uint16_t i, j;
    };
    size_t slot(uint64_t sum) const {
        return static_cast<size_t>((sum * 0x9e3779b97f4a7c15ULL) >> shift_) & mask_;
    }
    std::vector<Slot> slots_;
    uint32_t stamp_ = 1;
    unsigned shift_ = 63;
    size_t mask_ = 0, count_ = 0;
};

// The four lists, bucketed by residue, and the table of one residue's left pairs; `found` the
// entries of the four lists that met.
struct Meeting {
    Quarters &q;
    uint64_t mask;
    Buckets b[4];
    PairTable table;
    uint32_t found[4] = {0, 0, 0, 0};
    Meeting(Quarters &quarters, uint64_t m)
        : q(quarters),
          mask(m),
          b{Buckets(quarters.sums[0], m), Buckets(quarters.sums[1], m),
            Buckets(quarters.sums[2], m), Buckets(quarters.sums[3], m)},
          table(static_cast<size_t>(kMostPairs) + b[1].widest) {}
};

// Whether a right pair of residue `residue` meets a left pair in the table.
bool meet_right(Meeting &m, uint64_t residue, uint64_t target) {
    const Buckets &c = m.b[2], &d = m.b[3];
    for (uint64_t q2 = 0; q2 <= m.mask; q2++) {
        const size_t q3 = static_cast<size_t>((residue - q2) & m.mask);
        for (uint32_t k = c.start[q2]; k < c.start[q2 + 1]; k++) {
            const uint64_t z = c.sums[k];
            for (uint32_t l = d.start[q3]; l < d.start[q3 + 1]; l++) {
                if (d.sums[l] > target - z) continue;
                uint32_t i, j;
                if (m.table.find(target - z - d.sums[l], &i, &j)) {
                    m.found[0] = i;
                    m.found[1] = j;
                    m.found[2] = c.order[k];
                    m.found[3] = d.order[l];
                    return true;
                }
            }
        }
    }
    return false;
}

// Whether some left pair and right pair make `target`.
bool walk(const Search &s, Meeting &m, uint64_t target) {
    const Buckets &a = m.b[0], &b = m.b[1];
    for (uint64_t r = 0; r <= m.mask; r++) {
        s.poll();
        m.table.clear();
        for (uint64_t q0 = 0; q0 <= m.mask; q0++) {
            const size_t q1 = static_cast<size_t>((r - q0) & m.mask);
            const uint32_t width = b.start[q1 + 1] - b.start[q1];
            for (uint32_t i = a.start[q0]; i < a.start[q0 + 1]; i++) {
                // A full table meets the right pairs now and starts over.
                if (m.table.count() + width > kMostPairs) {
                    if (meet_right(m, target - r, target)) return true;
                    m.table.clear();
                    s.poll();
                }
                const uint64_t x = a.sums[i];
                for (uint32_t j = b.start[q1]; j < b.start[q1 + 1]; j++) {
                    if (b.sums[j] <= target - x) m.table.add(x + b.sums[j], a.order[i], b.order[j]);
                }
            }
        }
        if (m.table.count() != 0 && meet_right(m, target - r, target)) return true;
    }
    return false;
}

// Tries the outer items from `k` on, each left out and then taken.
bool search_outer(Search &s, const Group &g, const std::vector<size_t> &outer, size_t k,
                  Meeting &m, uint64_t target) {
    if (k == outer.size()) {
        if (!walk(s, m, target)) return false;
        for (int i = 0; i < 4; i++) {
            choose_from(s, g, m.q.at[i], m.q.sums[i], m.q.sums[i][m.found[i]].sum);
        }
        return true;
    }
    if (search_outer(s, g, outer, k + 1, m, target)) return true;
    const uint64_t x = g.values[outer[k]];
    if (x > target || !search_outer(s, g, outer, k + 1, m, target - x)) return false;
    s.choose(g.ids[outer[k]]);
    return true;
}

}  // namespace

double four_lists_work(size_t n) {
    // Past 64 items the quarters' lists would pass 2^16 entries each.
    const size_t inner = std::min(n, four_lists_items());
    // Over every residue about 2^(n/2) left pairs are hashed and as many right pairs looked up;
    // counted as a quarter's width in comparisons each, as the heaps these replace cost.
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
    // M: a power of two that leaves each residue about kMostPairs left pairs.
    const uint64_t left_pairs = static_cast<uint64_t>(q.sums[0].size()) * q.sums[1].size();
    uint64_t modulus = 1;
    while (left_pairs / modulus > kMostPairs) modulus *= 2;
    Meeting m(q, modulus - 1);
    return search_outer(s, g, outer, 0, m, target);
}

}  // namespace zo_witness
