/* The first-item table: the sums of a few items up to a limit, each with the first item that
   reached it. Private to the library. */
#ifndef ZO_WITNESS_TABLE_H
#define ZO_WITNESS_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "witness_search.h"

namespace zo_witness {

/* A sum s first reached by item k is s - values[k] plus a sum of the items before k, whose own
   first item comes before k: following the table leads back to 0, one item per step. */
class FirstItemTable {
public:
    static constexpr size_t kMaxItems = 65535;

    /* Bytes a table over `items` items up to `limit` holds. */
    static uint64_t bytes_for(size_t items, uint64_t limit);

    /* `values` ascending, each in [1, limit], at most kMaxItems of them. */
    FirstItemTable(const Search &s, const std::vector<uint64_t> &values, uint64_t limit);

    bool reached(uint64_t sum) const { return words_[sum / 64] >> (sum % 64) & 1; }
    const std::vector<uint64_t> &words() const { return words_; }

    /* The positions of the items that make `sum` (reached, at most the limit), in descending
       order. */
    std::vector<size_t> items_of(uint64_t sum) const;

private:
    template <class Index>
    void fill(const Search &s, std::vector<Index> &first);

    const std::vector<uint64_t> &values_;
    uint64_t limit_;
    std::vector<uint64_t> words_;
    std::vector<uint8_t> first8_;    // item position + 1; 0 where nothing reached the sum
    std::vector<uint16_t> first16_;  // the same, for more than 255 items
};

}  // namespace zo_witness

#endif /* ZO_WITNESS_TABLE_H */
