/* How the engine reads its input before it solves: the values as items whose 0/1 selections reach
   the same sums, and whether a factor of all but a few items pays for residue classes (its
   search for such factors the witness search shares). */
#ifndef FMSS_PLAN_H
#define FMSS_PLAN_H

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace fmss {

// Items: the values reduced to a list whose 0/1 selections reach exactly the same sums up to the
// limit.

using Run = std::pair<uint64_t, uint64_t>;  // value, copies

// Runs of the values in 1 .. limit, ascending (value, copies).
std::vector<Run> value_runs(const uint64_t *values, size_t count, uint64_t limit);
// The values as items up to `limit`, each value kept at most twice (more copies paired into
// copies of twice the value).
std::vector<uint64_t> folded_items(const uint64_t *values, size_t count, uint64_t limit);

// A factor g of all items but some outliers: the multiples (divided by g) and the outliers.
struct ResiduePlan {
    uint64_t g = 0;
    std::vector<uint64_t> multiples, outliers;
    uint64_t work = 0;
};

// Residue classes beyond this factor take more working memory than they save.
constexpr uint64_t kMaxResidueFactor = uint64_t{1} << 16;

// Up to `want` of the sorted items, spread evenly over them; neighbouring equal ones kept once.
std::vector<uint64_t> spread_sample(const std::vector<uint64_t> &items, size_t want);

// Calls take(f) with the common factor f of each pair of the sample and, with `triples`, of the
// differences within each triple (values that share a residue, such as 1 mod 97). With few items
// off a factor, most pairs are two multiples of it: the factor is among these.
template <typename Take>
void each_common_factor(const std::vector<uint64_t> &sample, bool triples, Take take) {
    for (size_t a = 0; a < sample.size(); a++) {
        for (size_t b = a + 1; b < sample.size(); b++) {
            take(std::gcd(sample[a], sample[b]));
            if (!triples) continue;
            for (size_t c = b + 1; c < sample.size(); c++)
                take(std::gcd(sample[b] - sample[a], sample[c] - sample[a]));
        }
    }
}

// The best factor for residue classes (g 0 when none pays); `forced` weighs them at any cost.
ResiduePlan plan_residues(const std::vector<uint64_t> &items, uint64_t limit, size_t max_words,
                          bool forced);

}  // namespace fmss

#endif /* FMSS_PLAN_H */
