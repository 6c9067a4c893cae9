// The first-item table: a shift-or over the reach set that, word by word, notes which item set
// each new bit. Cheap to follow back, and the whole answer for groups that fit in memory.
#include "witness_table.h"

#include <algorithm>

namespace zo_witness {
namespace {

// Adds x to the sums in w[0 .. hi], tagging each sum it reaches first. Walks down, so every word
// read still holds the set before x: x is used once per sum.
template <class Index>
void add_tagged(uint64_t *w, Index *first, size_t hi, uint64_t x, Index tag) {
    const size_t q = static_cast<size_t>(x / 64);
    const unsigned r = static_cast<unsigned>(x % 64);
    for (size_t j = hi + 1; j-- > q;) {
        const size_t src = j - q;
        uint64_t moved = w[src];
        if (r != 0) moved = (moved << r) | (src != 0 ? w[src - 1] >> (64 - r) : 0);
        uint64_t fresh = moved & ~w[j];
        if (fresh == 0) continue;
        w[j] |= fresh;
        for (; fresh != 0; fresh &= fresh - 1) {
            first[64 * j + static_cast<size_t>(__builtin_ctzll(fresh))] = tag;
        }
    }
}

// `n` zeros in `v`, written a slice at a time so that a cancel is seen while a large table is
// cleared.
template <class T>
void zeroed(const Search &s, std::vector<T> &v, size_t n) {
    constexpr size_t kSlice = size_t{1} << 22;
    v.clear();
    v.reserve(n);
    while (v.size() < n) {
        s.poll();
        v.insert(v.end(), std::min(kSlice, n - v.size()), T{0});
    }
}

}  // namespace

uint64_t FirstItemTable::bytes_for(size_t items, uint64_t limit) {
    const uint64_t words = limit / 64 + 1;
    return words * 8 + words * 64 * (items <= 255 ? 1 : 2);
}

FirstItemTable::FirstItemTable(const Search &s, const std::vector<uint64_t> &values,
                               uint64_t limit)
    : values_(values), limit_(limit), words_(static_cast<size_t>(limit / 64) + 1, 0) {
    words_[0] = 1;
    if (values.size() <= 255) {
        zeroed(s, first8_, words_.size() * 64);
        fill(s, first8_);
    } else {
        zeroed(s, first16_, words_.size() * 64);
        fill(s, first16_);
    }
}

template <class Index>
void FirstItemTable::fill(const Search &s, std::vector<Index> &first) {
    const size_t top = words_.size() - 1;
    uint64_t reach = 0;
    for (size_t k = 0; k < values_.size(); k++) {
        s.poll();
        reach += values_[k];
        const size_t hi = static_cast<size_t>(std::min(reach, limit_) / 64);
        add_tagged(words_.data(), first.data(), std::min(hi, top), values_[k],
                   static_cast<Index>(k + 1));
    }
}

std::vector<size_t> FirstItemTable::items_of(uint64_t sum) const {
    std::vector<size_t> picked;
    while (sum != 0) {
        const size_t at = static_cast<size_t>(sum);
        const size_t k = (first8_.empty() ? first16_[at] : first8_[at]) - size_t{1};
        picked.push_back(k);
        sum -= values_[k];
    }
    return picked;
}

bool solve_by_table(Search &s, const Group &g, uint64_t target) {
    const FirstItemTable table(s, g.values, target);
    if (!table.reached(target)) return false;
    for (size_t k : table.items_of(target)) s.choose(g.ids[k]);
    return true;
}

}  // namespace zo_witness
