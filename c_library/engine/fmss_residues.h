/* Residue classes of the exact engine: when all values but a few share a factor g, every sum is
   g t + r, and the sums are kept as one bitset over t per residue r that occurs, each g times
   shorter than the whole. Private to the library. */
#ifndef FMSS_RESIDUES_H
#define FMSS_RESIDUES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "fmss_pool.h"

namespace fmss {

class ResidueSums {
public:
    /* Classes over t in [0, limit / g]; class 0 starts empty. They take their words from
       spare[0 .. spare_words) while it lasts (memory the caller does not need until write is
       done), then from the heap. Their passes run on `team` when given. */
    ResidueSums(uint64_t g, uint64_t limit, uint64_t *spare, size_t spare_words,
                Team *team = nullptr);
    /* Class 0's words, for the caller to fill with the sums of the multiples of g, divided by g. */
    uint64_t *base() { return classes_[0]; }
    size_t words() const { return words_; }
    /* Adds a value that is not a multiple of g. */
    void add(uint64_t x);
    /* out[0 .. limit / 64] from the classes; bits above the limit in the last word are true sums
       but maybe not all of them. */
    void write(uint64_t *out) const;

private:
    size_t slot_of(uint64_t r);
    void or_class(size_t dst, const uint64_t *src, size_t src_slot, uint64_t shift);
    void write_words(uint64_t *out, size_t from, size_t to) const;

    uint64_t g_, limit_;
    size_t words_;  // per class
    std::vector<uint64_t> residue_;
    std::vector<uint64_t *> classes_;
    std::vector<std::unique_ptr<uint64_t[]>> owned_;
    uint64_t *spare_;
    size_t spare_words_;
    Team *team_;
    std::unique_ptr<uint64_t[]> saved_;  // a class kept for a cycle of passes
    std::vector<size_t> lo_, hi_;  // words outside [lo, hi] of a class are zero
    std::unordered_map<uint64_t, size_t> slot_;
};

/* Work (in shift-or word steps) of adding `outliers` to the multiples of g and writing the sums
   out, or UINT64_MAX when the classes would take more than `max_words` words. */
uint64_t residue_work(uint64_t g, uint64_t limit, const std::vector<uint64_t> &outliers,
                      size_t max_words);

}  // namespace fmss

#endif /* FMSS_RESIDUES_H */
