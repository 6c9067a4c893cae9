// The engine's reading of its input: items that reach the same sums as the values, and the
// search for a factor that puts all but a few items into residue classes.
#include "fmss_plan.h"

#include <algorithm>
#include <numeric>

#include "fmss_reach.h"
#include "fmss_residues.h"

namespace fmss {
namespace {

// Each candidate factor costs a pass over the items to weigh.
constexpr size_t kMaxCandidates = 16;

}  // namespace

// Runs of the values in 1 .. limit, ascending. Zeros add nothing and larger values reach only sums
// above the limit, so both are left out.
std::vector<Run> value_runs(const uint64_t *values, size_t count, uint64_t limit) {
    size_t kept = 0;
    uint64_t largest = 0;
    for (size_t i = 0; i < count; i++) {
        const uint64_t v = values[i];
        if (v != 0 && v <= limit) {
            kept++;
            largest = std::max(largest, v);
        }
    }
    std::vector<Run> runs;
    if (kept == 0) return runs;
    if (largest <= 4 * static_cast<uint64_t>(kept) + 4096) {
        // Small values (the many-repeats case): a count per value beats sorting.
        std::vector<uint64_t> copies(static_cast<size_t>(largest) + 1, 0);
        for (size_t i = 0; i < count; i++) {
            if (values[i] != 0 && values[i] <= limit) copies[static_cast<size_t>(values[i])]++;
        }
        for (size_t v = 1; v <= largest; v++) {
            if (copies[v] != 0) runs.emplace_back(v, copies[v]);
        }
        return runs;
    }
    std::vector<uint64_t> sorted;
    sorted.reserve(kept);
    for (size_t i = 0; i < count; i++) {
        if (values[i] != 0 && values[i] <= limit) sorted.push_back(values[i]);
    }
    std::sort(sorted.begin(), sorted.end());
    for (uint64_t v : sorted) {
        if (!runs.empty() && runs.back().first == v) {
            runs.back().second++;
        } else {
            runs.emplace_back(v, 1);
        }
    }
    return runs;
}

// c >= 3 copies of v reach the same multiples of v as 1 or 2 copies of v plus the rest paired
// into copies of 2v; applied in ascending order, every value ends with at most two copies.
std::vector<uint64_t> folded_items(const uint64_t *values, size_t count, uint64_t limit) {
    const std::vector<Run> runs = value_runs(values, count, limit);
    std::vector<Run> carries;  // doubled values; ascending, since they come from ascending v
    std::vector<uint64_t> items;
    size_t next_run = 0, next_carry = 0;
    while (next_run < runs.size() || next_carry < carries.size()) {
        uint64_t v;
        if (next_carry == carries.size() ||
            (next_run < runs.size() && runs[next_run].first <= carries[next_carry].first)) {
            v = runs[next_run].first;
        } else {
            v = carries[next_carry].first;
        }
        uint64_t copies = 0;
        if (next_run < runs.size() && runs[next_run].first == v) copies += runs[next_run++].second;
        if (next_carry < carries.size() && carries[next_carry].first == v) {
            copies += carries[next_carry++].second;
        }
        if (copies >= 3) {
            const uint64_t pairs = (copies - 1) / 2;
            copies -= 2 * pairs;
            // v <= limit <= total / 2, so 2v does not wrap; above the limit it reaches nothing
            // that is wanted.
            if (2 * v <= limit) carries.emplace_back(2 * v, pairs);
        }
        items.insert(items.end(), static_cast<size_t>(copies), v);
    }
    return items;
}

std::vector<uint64_t> spread_sample(const std::vector<uint64_t> &items, size_t want) {
    std::vector<uint64_t> sample;
    want = std::min(want, items.size());
    for (size_t k = 0; k < want; k++) {
        const uint64_t v = items[k * (items.size() - 1) / std::max<size_t>(want - 1, 1)];
        if (sample.empty() || sample.back() != v) sample.push_back(v);
    }
    return sample;
}

// Candidate factors come from the common factors of a few items spread over the list. The
// candidates under which the sample falls into the fewest residues are weighed, and one is kept
// when its classes cost less than half of what the bitset would.
ResiduePlan plan_residues(const std::vector<uint64_t> &items, uint64_t limit, size_t max_words,
                          bool forced) {
    ResiduePlan best;
    const uint64_t dense = dense_work(items, limit);
    best.work = dense;
    // Below this much work, looking for a factor costs about what it could save.
    if (items.size() < 3 || (!forced && dense < (uint64_t{1} << 18))) return best;
    const std::vector<uint64_t> sample = spread_sample(items, 12);
    std::vector<std::pair<size_t, uint64_t>> candidates;  // residues in the sample, factor
    std::vector<uint64_t> residues;
    auto consider = [&](uint64_t h) {
        if (h <= 1 || h > kMaxResidueFactor) return;
        residues.clear();
        for (uint64_t v : sample) residues.push_back(v % h);
        std::sort(residues.begin(), residues.end());
        const size_t distinct =
            static_cast<size_t>(std::unique(residues.begin(), residues.end()) - residues.begin());
        if (3 * distinct <= std::max<size_t>(sample.size(), 6)) {
            candidates.emplace_back(distinct, h);
        }
    };
    each_common_factor(sample, true, consider);
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    if (candidates.size() > kMaxCandidates) candidates.resize(kMaxCandidates);
    best.work = forced ? ~uint64_t{0} : dense / 2;
    std::vector<uint64_t> tried;
    for (const auto &candidate : candidates) {
        const uint64_t h = candidate.second;
        // The multiples of h are multiples of their own common factor g, and the other items are
        // not multiples of g either: g serves with the same outliers and shorter classes.
        uint64_t g = 0;
        for (uint64_t x : items) {
            if (x % h == 0) g = std::gcd(g, x);
        }
        if (g == 0) g = h;
        if (g > kMaxResidueFactor || std::find(tried.begin(), tried.end(), g) != tried.end()) {
            continue;
        }
        tried.push_back(g);
        ResiduePlan p;
        for (uint64_t x : items) {
            if (x % g == 0) {
                p.multiples.push_back(x / g);
            } else {
                p.outliers.push_back(x);
            }
        }
        if (p.outliers.empty()) continue;
        const uint64_t classes = residue_work(g, limit, p.outliers, max_words);
        if (classes == ~uint64_t{0}) continue;
        p.work = dense_work(p.multiples, limit / g) + classes;
        if (p.work < best.work) {
            p.g = g;
            best = std::move(p);
        }
    }
    if (best.g == 0) best.work = dense;
    return best;
}

}  // namespace fmss
