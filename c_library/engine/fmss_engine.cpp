// Exact subset-sum engine. Every step keeps the reachable set exactly: repeated values are
// folded, a common factor is divided out (of all values, or of all but a few, whose sums then
// live in residue classes), only sums up to half the total are computed (the rest mirror them),
// and those come from sum lists while they are few and from an in-place shift-or after that.
#include "fmss_engine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <utility>
#include <vector>

#include "fmss_kernels.h"
#include "fmss_pass.h"
#include "fmss_plan.h"
#include "fmss_reach.h"
#include "fmss_residues.h"
#include "fmss_tuning.h"
#include "zo_internal.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace fmss {
namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};

// ---------------------------------------------------------------------------------------------
// Mirror: s is a sum exactly when total - s is.

// dst[i] = the 64 bits starting at bit s of src_top[-i], reversed. The sources walk down as the
// destinations walk up; the two ranges do not overlap.
FMSS_VECTOR_CLONES
void reversed_run(uint64_t *__restrict dst, const uint64_t *__restrict src_top, size_t n,
                  unsigned s) {
    if (s == 0) {
        for (size_t i = 0; i < n; i++) dst[i] = reverse_bits(*(src_top - i));
        return;
    }
    const unsigned l = 64 - s;
    for (size_t i = 0; i < n; i++) {
        dst[i] = reverse_bits((*(src_top - i) >> s) | (*(src_top - i + 1) << l));
    }
}

}  // namespace

// s is a sum exactly when total - s is: fills bits (half, last] of w[0 .. nwords) from the exact
// bits 0 .. half. Word k's bits come from the 64 bits ending at total - 64k, reversed.
void mirror_upper_half(uint64_t *w, size_t nwords, uint64_t total, uint64_t half, Team *team,
                       uint64_t ones_from) {
    const size_t half_word = static_cast<size_t>(half / 64);
    const unsigned half_bit = static_cast<unsigned>(half % 64);
    const uint64_t low_mask = half_bit == 63 ? kAllOnes : (uint64_t{1} << (half_bit + 1)) - 1;
    // The word holding `half` may also hold bits above it: only its low bits are source bits.
    auto source_word = [&](uint64_t m) -> uint64_t {
        if (m > half_word) return 0;
        return m == half_word ? w[m] & low_mask : w[m];
    };
    size_t k = static_cast<size_t>((half + 1) / 64);
    while (k < nwords) {
        const uint64_t end = total - 64 * static_cast<uint64_t>(k);  // source of bit 0 of word k
        uint64_t window;
        if (end >= 63) {
            const uint64_t start = end - 63;
            const uint64_t m = start / 64;
            const unsigned s = static_cast<unsigned>(start % 64);
            if (m + 1 < half_word) {
                // From here on every window lies in whole words below `half`'s, down to bit 0.
                const size_t run = static_cast<size_t>(
                    std::min<uint64_t>(nwords - 1, (total - 63) / 64) - k + 1);
                if (start >= ones_from) {
                    // Windows inside the known ones: a fill, without reading them.
                    const size_t ones = static_cast<size_t>(
                        std::min<uint64_t>(run, (start - ones_from) / 64 + 1));
                    fill_ones(team, w, k, k + ones);
                    k += ones;
                    continue;
                }
                split_range(team, 0, run, [&](unsigned, size_t a, size_t b) {
                    reversed_run(w + k + a, w + m - a, b - a, s);
                });
                k += run;
                continue;
            }
            window = source_word(m) >> s;
            if (s != 0) window |= source_word(m + 1) << (64 - s);
        } else {
            // Source bits below 0 do not exist.
            window = source_word(0) << (63 - end);
        }
        const uint64_t mirrored = reverse_bits(window);
        w[k] = k == half_word ? (w[k] & low_mask) | (mirrored & ~low_mask) : mirrored;
        k++;
    }
}

namespace {

// ---------------------------------------------------------------------------------------------
// Common factor: when every item is a multiple of g, so is every sum. The sums are computed for
// the items divided by g, in a bitset g times shorter (where saturated words show up again), and
// then spread out.

// w[k] = the 32 bits of compact[k / 2] that land in it, at the even positions.
FMSS_VECTOR_CLONES
void spread_to_even_bits(const uint64_t *__restrict compact, uint64_t *__restrict w, size_t n) {
    for (size_t k = 0; k < n; k++) {
        uint64_t x = (compact[k / 2] >> (32 * (k % 2))) & 0xFFFFFFFFULL;
        x = (x | (x << 16)) & 0x0000FFFF0000FFFFULL;
        x = (x | (x << 8)) & 0x00FF00FF00FF00FFULL;
        x = (x | (x << 4)) & 0x0F0F0F0F0F0F0F0FULL;
        x = (x | (x << 2)) & 0x3333333333333333ULL;
        x = (x | (x << 1)) & 0x5555555555555555ULL;
        w[k] = x;
    }
}

// Writes w[0 .. limit / 64]: bit g * t is set for each bit t <= limit / g set in `compact`, whose
// bits above limit / g are cleared first (they are true sums, but maybe not all of them).
void spread_multiples(uint64_t *compact, uint64_t g, uint64_t limit, uint64_t *w) {
    const uint64_t compact_limit = limit / g;
    const size_t compact_words = static_cast<size_t>(compact_limit / 64) + 1;
    if (compact_limit % 64 != 63) {
        compact[compact_words - 1] &= (uint64_t{2} << (compact_limit % 64)) - 1;
    }
    const size_t words = static_cast<size_t>(limit / 64) + 1;
    if (g == 2) {
        spread_to_even_bits(compact, w, words);
        return;
    }
    memset(w, 0, words * sizeof(uint64_t));
    // Chunks of `step` compact bits land within (step - 1) * g + 1 <= 64 output bits, where one
    // table entry places them all.
    const unsigned step = g >= 64 ? 1 : static_cast<unsigned>(std::min<uint64_t>(8, 63 / g + 1));
    uint64_t pattern[256];
    for (unsigned b = 0; b < (1u << step); b++) {
        pattern[b] = 0;
        for (unsigned j = 0; j < step; j++) {
            if (b >> j & 1) pattern[b] |= uint64_t{1} << (j * g);
        }
    }
    uint64_t word = 0;  // bits of w[at] gathered so far
    size_t at = 0;
    for (uint64_t t = 0; t <= compact_limit; t += step) {
        const size_t i = static_cast<size_t>(t / 64);
        const unsigned off = static_cast<unsigned>(t % 64);
        uint64_t bits = compact[i] >> off;
        if (off + step > 64 && i + 1 < compact_words) bits |= compact[i + 1] << (64 - off);
        bits &= (1u << step) - 1;
        if (bits == 0) continue;
        const uint64_t pos = g * t;
        const unsigned shift = static_cast<unsigned>(pos % 64);
        const uint64_t p = pattern[bits];
        if (pos / 64 != at) {
            w[at] |= word;
            word = 0;
            at = static_cast<size_t>(pos / 64);
        }
        word |= p << shift;
        if (shift != 0 && (p >> (64 - shift)) != 0) w[at + 1] |= p >> (64 - shift);
    }
    w[at] |= word;
}

// The list's sums below the limit, and their mirror images above `half` up to `last`.
void write_list_mirrored(const Reach &r, uint64_t total, uint64_t half, uint64_t last,
                         uint64_t *w) {
    if (r.form == Reach::kRuns) {
        for (const SumRun &run : r.runs) {
            fill_bits(w, run.lo, run.hi);
            const uint64_t a = std::max(total - run.hi, half + 1);
            const uint64_t b = std::min(total - run.lo, last);
            if (a <= b) fill_bits(w, a, b);
        }
        return;
    }
    for (uint64_t s : r.sums) {
        w[s / 64] |= uint64_t{1} << (s % 64);
        const uint64_t m = total - s;
        if (m > half && m <= last) w[m / 64] |= uint64_t{1} << (m % 64);
    }
}

// ---------------------------------------------------------------------------------------------
// Planning.

// Inputs this small cost less as a plain full shift-or than any planning would.
FMSS_VECTOR_CLONES
void direct_sums(const uint64_t *values, size_t count, uint64_t *w, size_t nwords) {
    memset(w, 0, nwords * sizeof(uint64_t));
    w[0] = 1;
    uint64_t reach = 0;  // no sum lies above it, so no pass goes past it
    for (size_t i = 0; i < count; i++) {
        const uint64_t x = values[i];
        const uint64_t q = x / 64;
        const unsigned r = static_cast<unsigned>(x % 64);
        if (x == 0 || q >= nwords) continue;
        reach += x;
        const size_t end = static_cast<size_t>(std::min<uint64_t>(reach / 64 + 1, nwords));
        if (r == 0) {
            for (size_t j = end; j-- > q;) w[j] |= w[j - q];
            continue;
        }
        for (size_t j = end; j-- > q + 1;) w[j] |= (w[j - q] << r) | (w[j - q - 1] >> (64 - r));
        w[q] |= w[0] << r;
    }
}

// A large output is usually fresh memory, and every word of it is written: huge pages take one
// fault per 2 MiB instead of one per 4 KiB. Only whole huge pages inside the output are advised.
void advise_huge_pages(uint64_t *out, size_t nwords) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t huge = uintptr_t{1} << 21;
    if (nwords < 4 * huge / sizeof(uint64_t)) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(out) + huge - 1) & ~(huge - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(out + nwords) & ~(huge - 1);
    // A hint: when the kernel declines, the pages are simply small.
    if (end > begin) (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)out;
    (void)nwords;
#endif
}

// The sums of `items` up to `limit` into w[0 .. limit / 64], exact in bits 0 .. limit: as lists
// while they are cheap, else through residue classes when a factor of all but a few items pays,
// else as the bitset. A list that stays a list to the end comes back unwritten, for the caller to
// write as it likes. Memory past w's words up to spare_words is free to use meanwhile.
Reach solve_items(const std::vector<uint64_t> &items, uint64_t limit, uint64_t *w,
                  size_t spare_words, size_t max_list, int64_t path, Team &team) {
    ResiduePlan plan;
    if (path == kPathAuto || path == kPathResidues) {
        // Forced (by tests), the classes may take any memory.
        plan = plan_residues(items, limit, path == kPathResidues ? SIZE_MAX : max_list,
                             path == kPathResidues);
    }
    // The lists go first when they are cheap; should they give up, the residue classes take
    // over from the start (what the lists did by then cost less than the bitset's passes).
    Reach r;
    if (plan.g == 0 || path != kPathResidues) {
        r = reach_sums(items, limit, w, max_list, plan.g != 0, nullptr, &team);
    } else {
        r.form = Reach::kGaveUp;
    }
    if (r.form != Reach::kGaveUp) return r;
    const size_t low_words = static_cast<size_t>(limit / 64) + 1;
    ResidueSums classes(plan.g, limit, w + low_words, spare_words, &team);
    const uint64_t compact_limit = limit / plan.g;
    const Reach base =
        reach_sums(plan.multiples, compact_limit, classes.base(), max_list, false, nullptr, &team);
    if (base.form != Reach::kBits) write_list(base, compact_limit, classes.base());
    for (uint64_t x : plan.outliers) classes.add(x);
    classes.write(w);
    r.form = Reach::kBits;
    return r;
}

}  // namespace

int subset_sum_words(const uint64_t *values, size_t count, uint64_t total, uint64_t *out,
                     size_t nwords) {
    try {
        const uint64_t need = total / 64 + 1;
        // The highest bit wanted; for fewer words than the total needs, the last bit they hold.
        const uint64_t last = nwords == need ? total : static_cast<uint64_t>(nwords) * 64 - 1;
        const uint64_t half = total / 2;
        const Tuning &t = tuning();
        const int64_t path = t.path.load(std::memory_order_relaxed);
        if (path == kPathAuto &&
            static_cast<double>(count) * static_cast<double>(nwords) <=
                static_cast<double>(t.direct_work.load(std::memory_order_relaxed))) {
            direct_sums(values, count, out, nwords);
            return 0;
        }
        // Sums up to `limit` are computed; those above `half` are mirrored from below it.
        const uint64_t limit = std::min(last, half);
        std::vector<uint64_t> items = folded_items(values, count, limit);
        uint64_t factor = 0;
        for (uint64_t x : items) factor = std::gcd(factor, x);
        if (factor == 0) factor = 1;
        advise_huge_pages(out, nwords);
        Team team(team_size_for(nwords));
        // The lists may take as much memory as the output, no more.
        const size_t max_list = std::max<size_t>(nwords / 2, 4096);
        // Output words past the limit's are written last, by the mirror: until then they are
        // working memory, already the caller's (no page faults of its own).
        const size_t low_words = static_cast<size_t>(limit / 64) + 1;
        const size_t spare_words = nwords - low_words;

        uint64_t ones_from = UINT64_MAX;  // bits from here up to the limit are all sums
        if (factor > 1) {
            for (uint64_t &x : items) x /= factor;
            const uint64_t compact_limit = limit / factor;
            const size_t compact_words = static_cast<size_t>(compact_limit / 64) + 1;
            std::unique_ptr<uint64_t[]> owned;
            uint64_t *compact = out + low_words;
            size_t compact_spare = 0;
            if (compact_words > spare_words) {
                owned.reset(new uint64_t[compact_words]);
                compact = owned.get();
            } else {
                compact_spare = spare_words - compact_words;
            }
            const Reach r =
                solve_items(items, compact_limit, compact, compact_spare, max_list, path, team);
            if (r.form != Reach::kBits) write_list(r, compact_limit, compact);
            spread_multiples(compact, factor, limit, out);
        } else {
            const Reach r = solve_items(items, limit, out, spare_words, max_list, path, team);
            if (r.form != Reach::kBits) {
                memset(out, 0, nwords * sizeof(uint64_t));
                write_list_mirrored(r, total, half, last, out);
                return 0;
            }
            ones_from = r.ones_from;
        }
        if (last > half) mirror_upper_half(out, nwords, total, half, &team, ones_from);
        return 0;
    } catch (const std::bad_alloc &) {
        return FMSS_NO_MEMORY;
    }
}

}  // namespace fmss

extern "C" int64_t fmss_tune(int knob, int64_t value) {
    fmss::Tuning &t = fmss::tuning();
    std::atomic<int64_t> *slots[] = {&t.path, &t.list_items, &t.start_as_runs, &t.kernel,
                                     &t.avx2_from_bytes, &t.direct_work, &t.deposit, &t.threads,
                                     &t.thread_words};
    if (knob < 0 || knob >= static_cast<int>(sizeof slots / sizeof slots[0])) return INT64_MIN;
    return slots[knob]->exchange(value);
}
