/* Passes over the bitset and the sum lists on a team's threads, each as exact as on one. Private
   to the library. */
#ifndef FMSS_PASS_H
#define FMSS_PASS_H

#include <cstddef>
#include <cstdint>

#include "fmss_kernels.h"
#include "fmss_pool.h"

namespace fmss {

/* The team for a solve whose bitset spans `words` words: the caller alone when that is too short
   to pay for a second thread. */
unsigned team_size_for(size_t words);

/* The shift-or of x = 64q + r for target words [lo, hi], lo >= q, in place: every source word it
   reads holds the set from before the pass. Word q takes only w[0] << r. */
void shift_or_pass(Team *team, ShiftOrFn fn, uint64_t *w, size_t lo, size_t hi, size_t q,
                   unsigned r);

/* f(t, begin, end) on each member t of the team, over shares of [begin, end) of at least the
   knob's words each (one share, on the caller, when the range is short). */
template <class F>
void split_range(Team *team, size_t begin, size_t end, F &&f);

/* Words [from, to) all ones. */
void fill_ones(Team *team, uint64_t *w, size_t from, size_t to);

/* merge_sums, its output split by value across the team. */
size_t merge_sums_on(Team *team, const uint64_t *a, size_t n, size_t m, uint64_t x,
                     uint64_t *out);

}  // namespace fmss

#include "fmss_tuning.h"

namespace fmss {

template <class F>
void split_range(Team *team, size_t begin, size_t end, F &&f) {
    const size_t least = static_cast<size_t>(tuning().thread_words.load(std::memory_order_relaxed));
    const size_t n = end > begin ? end - begin : 0;
    size_t parts = team == nullptr ? 1 : team->size();
    if (least != 0 && n / least < parts) parts = n / least;
    if (parts <= 1) {
        if (n != 0) f(0u, begin, end);
        return;
    }
    team->each([&](unsigned t) {
        if (t >= parts) return;
        f(t, begin + n * t / parts, begin + n * (t + 1) / parts);
    });
}

}  // namespace fmss

#endif /* FMSS_PASS_H */
