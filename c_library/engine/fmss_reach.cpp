// The reach set of the items: sorted sums or runs of sums while they are few, then the in-place
// shift-or bitset, started from the list. The switch is by cost, decided before each item.
#include "fmss_reach.h"

#include <algorithm>
#include <cstring>

#include "fmss_engine.h"
#include "fmss_kernels.h"
#include "fmss_pass.h"
#include "fmss_tuning.h"

namespace fmss {
namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};

// Cost of one merged sum, and of one merged run, against one word step of the shift-or, measured
// where the switch happens (a merge step waits on the comparison before it; the shift-or streams).
constexpr double kSumCost = 24.0;
constexpr double kRunCost = 48.0;

// Sum lists this long are first checked for runs.
constexpr size_t kFirstRunsCheck = 64;

inline bool all_ones(const uint64_t *w, size_t n) {
    uint64_t a = kAllOnes;
    for (size_t i = 0; i < n; i++) a &= w[i];
    return a == kAllOnes;
}

// Which stretches of the bitset may hold a sum. Below the dense middle of a large set the sums of
// a few items lie far apart, and a pass there reads zeros and writes back what it read; a pass
// skips the targets whose sources lie in stretches known to be zero, and neither reads nor writes
// them (on 45 to 100 values of 5e7 to 2e8 the passes took 13 to 22 % less time). Marks only grow:
// a stretch not marked holds no sum.
class ZeroMap {
public:
    static constexpr unsigned kShift = 9;  // 512 words (4 KiB) a stretch
    /* Zero stretches fewer than least_gap between live ones are passed over like live ones: each
       skip splits the pass, and on several threads each part costs a hand-over. */
    ZeroMap(size_t words, size_t least_gap) : live_((words >> kShift) + 1, 0), gap_(least_gap) {}

    /* Words [from, to] may hold sums. */
    void mark(size_t from, size_t to) {
        if (from > to) return;
        memset(live_.data() + (from >> kShift), 1, (to >> kShift) - (from >> kShift) + 1);
    }
    void mark_list(const Reach &r) {
        for (const SumRun &run : r.runs) {
            mark(static_cast<size_t>(run.lo / 64), static_cast<size_t>(run.hi / 64));
        }
        for (uint64_t s : r.sums) live_[static_cast<size_t>(s / 64) >> kShift] = 1;
    }

    /* The pass of x = 64q + r on targets [lo, hi] (lo >= q), as pass(a, b) on the stretches of
       targets that may change, from the top down (so each still reads the set from before the
       pass); marks those. */
    template <class Pass>
    void pass(size_t lo, size_t hi, size_t q, unsigned r, Pass &&pass) {
        if (lo > hi) return;
        size_t run_lo = 0, run_hi = 0, gap = 0;
        bool in_run = false;
        for (size_t c = hi >> kShift;; c--) {
            const size_t a = std::max(lo, c << kShift);
            const size_t b = std::min(hi, ((c + 1) << kShift) - 1);
            const size_t first = a - q - (r != 0 && a > q ? 1 : 0);
            bool live = false;
            for (size_t k = first >> kShift; k <= (b - q) >> kShift; k++) live |= live_[k] != 0;
            if (live) {
                live_[c] = 1;
                if (in_run && gap >= gap_) {
                    pass(run_lo, run_hi);
                    in_run = false;
                }
                if (!in_run) run_hi = b;
                in_run = true;
                run_lo = a;
                gap = 0;
            } else {
                gap++;
            }
            if (a == lo) break;
        }
        if (in_run) pass(run_lo, run_hi);
    }

private:
    std::vector<uint8_t> live_;
    size_t gap_;
};

// w holds the sums of items[0, begin), whose total is `reach`; adds the rest. False when *cancel
// turned non-zero first.
//
// The sums of the items so far are symmetric about reach / 2: s is one exactly when reach - s
// is. So a pass only makes the words up to min(reach / 2, limit) exact, reading words at least x
// below them, and before it the bits from there up to the new reach / 2 are mirrored from below
// (x / 2 bits): each pass spans half the set it would otherwise, until the limit caps it. At the
// end the bits from the last reach / 2 up to the limit are mirrored the same way.
bool dense_sums(const std::vector<uint64_t> &items, size_t begin, uint64_t reach, uint64_t limit,
                uint64_t *w, ZeroMap &live, const volatile int *cancel, Team *team,
                uint64_t *ones_from) {
    const size_t top = static_cast<size_t>(limit / 64);
    const ShiftOrFn fn = pick_shift_or(top + 1);
    uint64_t rest = 0;  // the items not added yet
    for (size_t i = begin; i < items.size(); i++) rest += items[i];
    const uint64_t largest = items.empty() ? 0 : items.back();
    // Each pass reads and writes its live targets and reads their sources once: past the cache it
    // runs at the speed of memory (about 1.8 G words a second a core where it was measured), so
    // the only gain left is in words not touched.
    auto shift_or_targets = [&](size_t lo, size_t hi, size_t q, unsigned r) {
        live.pass(lo, hi, q, r,
                  [&](size_t a, size_t b) { shift_or_pass(team, fn, w, a, b, q, r); });
    };
    // Bits [0, exact] hold the sums of the items so far, and no bit above reach is set (every bit
    // ever set is a sum of fewer items). The list wrote all of them.
    uint64_t exact = limit;
    // Words [full_lo, full_hi) are all ones: a shift-or cannot change them, so it skips them.
    // The middle fills first, at reach / 2: the top of what the passes write.
    size_t full_lo = 0, full_hi = 0;
    for (size_t i = begin; i < items.size(); i++) {
        const uint64_t x = items[i];
        const size_t q = static_cast<size_t>(x / 64);
        const unsigned r = static_cast<unsigned>(x % 64);
        if (full_lo < full_hi && full_hi > top && q >= full_lo) break;  // so for every larger x too
        if (cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED)) return false;
        const uint64_t want = std::min((reach + x) / 2, limit);
        if (want > exact && full_hi <= top) {
            // Words past reach / 64 are zero already.
            const size_t words = static_cast<size_t>(std::min(want, reach) / 64) + 1;
            if (exact < reach) {
                mirror_upper_half(w, words, reach, exact, team);
                live.mark(static_cast<size_t>(exact / 64), words - 1);
            }
        }
        exact = want;
        reach += x;
        rest -= x;
        const size_t hi = static_cast<size_t>(want / 64);
        if (full_lo < full_hi) {
            // Upper part first: it reads the lower part's words before they change.
            shift_or_targets(std::max(q, full_hi), hi, q, r);
            if (q < full_lo) shift_or_targets(q, full_lo - 1, q, r);
        } else {
            shift_or_targets(q, hi, q, r);
            if (w[hi] == kAllOnes) {
                full_lo = hi;
                full_hi = hi + 1;
            }
        }
        if (full_lo < full_hi) {
            while (full_hi + 8 <= hi + 1 && all_ones(w + full_hi, 8)) full_hi += 8;
            while (full_hi <= hi && w[full_hi] == kAllOnes) full_hi++;
            while (full_lo > 0 && w[full_lo - 1] == kAllOnes) full_lo--;
            // Sums [a, b] and an item y <= b - a + 1 make sums [a, b + y]: once the run of ones
            // is as long as the largest item, the items still to come extend it by their total,
            // no pass needed. When that reaches the limit, the words above the run are all ones
            // for good, and from here on the passes only write the words below it. A run up to
            // the middle word goes on, by the symmetry, to reach - a.
            const uint64_t a = 64 * static_cast<uint64_t>(full_lo);
            const uint64_t b = full_hi > hi ? reach - a : 64 * static_cast<uint64_t>(full_hi) - 1;
            if (full_hi <= top && b - a + 1 >= largest && b + rest >= limit) {
                fill_ones(team, w, full_hi, top);
                live.mark(full_hi, top);
                w[top] |= limit % 64 == 63 ? kAllOnes : (uint64_t{2} << (limit % 64)) - 1;
                full_hi = top + 1;
            }
        }
    }
    // A run of ones up to the limit stays one: the caller's mirror need not read it.
    if (full_lo < full_hi && full_hi > top) *ones_from = 64 * static_cast<uint64_t>(full_lo);
    if (exact < limit && full_hi <= top && exact < reach) {
        mirror_upper_half(w, static_cast<size_t>(std::min(limit, reach) / 64) + 1, reach, exact,
                          team);
    }
    return true;
}

}  // namespace

uint64_t dense_work(const std::vector<uint64_t> &items, uint64_t limit) {
    uint64_t work = 0, reach = 0;
    for (uint64_t x : items) {
        reach += x;
        work += std::min(reach, limit) / 64 - x / 64 + 1;
    }
    return work;
}

void write_list(const Reach &r, uint64_t limit, uint64_t *w, Team *team) {
    split_range(team, 0, static_cast<size_t>(limit / 64) + 1, [w](unsigned, size_t a, size_t b) {
        memset(w + a, 0, (b - a) * sizeof(uint64_t));
    });
    if (r.form == Reach::kRuns) {
        for (const SumRun &run : r.runs) fill_bits(w, run.lo, run.hi);
    } else {
        for (uint64_t s : r.sums) w[s / 64] |= uint64_t{1} << (s % 64);
    }
}

Reach reach_sums(const std::vector<uint64_t> &items, uint64_t limit, uint64_t *w, size_t max_list,
                 bool may_give_up, const volatile int *cancel, Team *team) {
    const Tuning &t = tuning();
    const int64_t path = t.path.load(std::memory_order_relaxed);
    const int64_t list_items = t.list_items.load(std::memory_order_relaxed);
    const int64_t start_as_runs = t.start_as_runs.load(std::memory_order_relaxed);
    const size_t n = items.size();
    // Word steps of the bitset for items[i, n) (dense_work, for the planners, counts whole passes:
    // an upper bound).
    std::vector<uint64_t> dense_left(n + 2, 0);
    {
        uint64_t reach = 0;
        for (size_t i = 0; i < n; i++) reach += items[i];
        for (size_t i = n; i-- > 0;) {
            const uint64_t x = items[i];
            // A pass up to half the reach, and the mirror of x / 2 bits before it.
            const uint64_t hi = std::min(reach / 2, limit) / 64, q = x / 64;
            dense_left[i] = dense_left[i + 1] + (hi >= q ? hi - q + 1 : 0) + x / 128;
            reach -= x;
        }
    }

    // The lists hold `size` entries; their vectors only grow (fresh entries would be zeroed).
    Reach r;
    r.form = start_as_runs == 1 ? Reach::kRuns : Reach::kSums;
    r.sums.assign(1, 0);
    r.runs.assign(1, SumRun{0, 0});
    std::vector<uint64_t> next_sums;
    std::vector<SumRun> next_runs;
    size_t size = 1, runs_check = kFirstRunsCheck;
    double list_work = 0;
    double bits_work = n != 0 ? static_cast<double>(dense_left[0] - dense_left[1]) : 0;
    uint64_t reach = 0;
    auto room = [](auto &v, size_t want) {
        if (v.size() < want) v.resize(std::max(want, 2 * v.size()));
    };
    for (size_t i = 0; i < n; i++) {
        if (cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED)) {
            Reach stopped;
            stopped.form = Reach::kCancelled;
            return stopped;
        }
        const bool as_runs = r.form == Reach::kRuns;
        bool to_bits;
        if (path == kPathLists) {
            to_bits = list_items >= 0 && i >= static_cast<size_t>(list_items);
        } else if (path == kPathDense) {
            to_bits = true;
        } else {
            // The first passes of the bitset are short, so a list is kept while it has cost no
            // more than the bitset would have so far; and dropped once, even without growing, it
            // would cost more than the bitset for the items left.
            const double entry = as_runs ? kRunCost : kSumCost;
            list_work += 2.0 * static_cast<double>(size) * entry;
            // One pass ahead: the next pass is known, and the first ones cost next to nothing.
            if (i + 1 < n) bits_work += static_cast<double>(dense_left[i + 1] - dense_left[i + 2]);
            const double least_list =
                static_cast<double>(size) * entry * static_cast<double>(n - i);
            // Lists shorter than the runs check are kept regardless: they cost next to nothing,
            // and may yet turn out to be a few runs.
            to_bits = (as_runs ? 4 : 2) * size > max_list ||
                      (size >= kFirstRunsCheck && list_work > bits_work) ||
                      least_list > static_cast<double>(dense_left[i]);
        }
        if (to_bits) {
            if (may_give_up) {
                Reach gave_up;
                gave_up.form = Reach::kGaveUp;
                return gave_up;
            }
            r.sums.resize(as_runs ? 0 : size);
            r.runs.resize(as_runs ? size : 0);
            write_list(r, limit, w, team);
            // On several threads a pass over the medium-density sets then splits into 17 parts at
            // most, against 300 with the shorter gap.
            const size_t least_gap = team != nullptr && team->size() > 1 ? 64 : 4;
            ZeroMap live(static_cast<size_t>(limit / 64) + 1, least_gap);
            live.mark_list(r);
            Reach bits;
            bits.form = dense_sums(items, i, reach, limit, w, live, cancel, team, &bits.ones_from)
                            ? Reach::kBits
                            : Reach::kCancelled;
            return bits;
        }
        const uint64_t x = items[i];
        if (as_runs) {
            // Runs starting past limit - x have no shifted copy.
            const size_t m = static_cast<size_t>(
                std::upper_bound(r.runs.begin(), r.runs.begin() + size, limit - x,
                                 [](uint64_t v, const SumRun &run) { return v < run.lo; }) -
                r.runs.begin());
            room(next_runs, size + m);
            size = merge_runs(r.runs.data(), size, m, x, limit, next_runs.data());
            r.runs.swap(next_runs);
        } else {
            const auto past = std::upper_bound(r.sums.begin(), r.sums.begin() + size, limit - x);
            const size_t m = static_cast<size_t>(past - r.sums.begin());
            room(next_sums, size + m);
            size = merge_sums_on(team, r.sums.data(), size, m, x, next_sums.data());
            r.sums.swap(next_sums);
            // Sums that cluster are cheaper as runs: checked each time the list doubles.
            if (start_as_runs != 0 && size >= runs_check) {
                runs_check = 2 * size;
                size_t runs = 1;
                for (size_t k = 1; k < size; k++) runs += r.sums[k] != r.sums[k - 1] + 1;
                if (4 * runs <= size) {
                    room(r.runs, runs);
                    size = runs_of(r.sums.data(), size, r.runs.data());
                    r.form = Reach::kRuns;
                }
            }
        }
        reach += x;
    }
    r.sums.resize(r.form == Reach::kSums ? size : 0);
    r.runs.resize(r.form == Reach::kRuns ? size : 0);
    return r;
}

}  // namespace fmss
