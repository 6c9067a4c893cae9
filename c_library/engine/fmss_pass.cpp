// The bitset's shift-or split across threads. In place, one thread walks its words down and reads
// only words it writes later; split into pieces, a piece's sources may be another's targets.
// Those few words are copied before any piece is written, by one of two splits:
// - contiguous pieces, for short shifts: a piece reads at most q + 1 words below it;
// - strips of q words, each piece taking the same offsets in every strip, for long shifts: word
//   j reads j - q in the strip below at its own offset, and only j - q - 1, at the lowest offset
//   of its piece, belongs to another piece: one word per strip (none for whole-word shifts).
// The copies cost min(q + 1, span / q) words a piece, at most the square root of the span.
// A list merge splits by value instead: each thread merges the entries of both sides in its own
// range of sums into its own part of the output, and the parts then move down to close the gaps
// the repeated sums left (a copy, against the merge's compare per entry).
#include "fmss_pass.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "fmss_lists.h"

namespace fmss {
namespace {

// Pieces of a split pass per member of the team, and the least words of a piece in each strip
// (or in all, for contiguous pieces) when there are more pieces than members.
constexpr size_t kPiecesPerThread = 8;
constexpr size_t kLeastPiece = 4096;

// Word s of a pass, given its source word s - q - 1 (r > 0) from elsewhere.
inline void shift_or_word(uint64_t *w, size_t s, size_t q, unsigned r, uint64_t below) {
    w[s] |= r == 0 ? w[s - q] : (w[s - q] << r) | (below >> (64 - r));
}

// The same as shift_or_pass, on the caller alone.
void shift_or_alone(ShiftOrFn fn, uint64_t *w, size_t lo, size_t hi, size_t q, unsigned r) {
    const size_t first = lo == q ? q + 1 : lo;
    if (first <= hi) fn(w, first, hi + 1, q, r);
    if (lo == q) w[q] |= w[0] << r;
}

// First offset of each thread's share in a strip, so that the shares hold words alike: offsets
// below `rem` have full + 1 targets, the others full.
size_t offset_at(size_t work, size_t full, size_t rem) {
    const size_t low = rem * (full + 1);
    if (work <= low) return work / (full + 1);
    return rem + (full == 0 ? 0 : (work - low) / full);
}

}  // namespace

unsigned team_size_for(size_t words) {
    const int64_t least = tuning().thread_words.load(std::memory_order_relaxed);
    if (least > 0 && words / static_cast<uint64_t>(least) < 2) return 1;
    return solve_threads();
}

void shift_or_pass(Team *team, ShiftOrFn fn, uint64_t *w, size_t lo, size_t hi, size_t q,
                   unsigned r) {
    if (lo > hi) return;
    const size_t span = hi - lo + 1;
    const size_t least = static_cast<size_t>(tuning().thread_words.load(std::memory_order_relaxed));
    size_t parts = team == nullptr ? 1 : team->size();
    if (least != 0 && span / least < parts) parts = span / least;
    parts = std::min(parts, span);
    if (parts <= 1) {
        shift_or_alone(fn, w, lo, hi, q, r);
        return;
    }
    // More pieces than threads, taken in turn by whoever is free: a member the machine leaves
    // waiting for a core (other processes share it) then holds up only the piece it took, not a
    // share fixed in advance. The caller copies every piece's borrowed words first, before any
    // member writes, so the members need no barrier.
    const bool contiguous = q + 1 <= span / (q + 1);  // (q + 1)^2 <= span, without overflow
    // A piece's stretches of targets stay long enough to stream (a strip holds q of them).
    const size_t pieces = std::min(
        span, std::clamp((contiguous ? span : q) / kLeastPiece, parts, parts * kPiecesPerThread));
    std::atomic<size_t> next{0};
    if (contiguous) {
        // Contiguous pieces [a, b); a piece above the first borrows words [a - q - 1, a] (the
        // last its own, read by word a + q after word a has changed).
        const size_t copied = q + 2;
        std::vector<uint64_t> stage(pieces * copied);
        for (size_t c = 1; c < pieces; c++) {
            memcpy(stage.data() + c * copied, w + lo + span * c / pieces - q - 1,
                   copied * sizeof(uint64_t));
        }
        team->each([&](unsigned) {
            for (size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
                const size_t a = lo + span * c / pieces, b = lo + span * (c + 1) / pieces;
                if (c == 0) {
                    shift_or_alone(fn, w, a, b - 1, q, r);
                    continue;
                }
                const size_t from = std::min(b, a + q + 1);
                if (from < b) fn(w, from, b, q, r);
                // stage[k] holds word a - q - 1 + k: words a + i read stage[i + 1] and stage[i].
                or_shifted(w + a - 1, stage.data() + c * copied, 1, from - a + 1, 0, r);
            }
        });
        return;
    }
    // Strips [lo + kq, lo + (k + 1)q); piece c takes offsets [o_c, o_c+1) of each.
    const size_t full = span / q, rem = span % q;
    const size_t strips = full + (rem != 0);
    std::vector<uint64_t> stage(r == 0 ? 0 : pieces * strips);
    auto offsets = [&](size_t c) {
        return std::make_pair(offset_at(span * c / pieces, full, rem),
                              offset_at(span * (c + 1) / pieces, full, rem));
    };
    for (size_t c = 0; r != 0 && c < pieces; c++) {
        const size_t o = offsets(c).first;
        for (size_t k = 0; k < strips; k++) {
            const size_t s = lo + k * q + o;
            if (s <= hi && s >= lo + q + 1) stage[c * strips + k] = w[s - q - 1];
        }
    }
    team->each([&](unsigned) {
        for (size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            const auto [o, o_end] = offsets(c);
            if (o >= o_end) continue;
            const uint64_t *mine = r != 0 ? stage.data() + c * strips : nullptr;
            for (size_t k = strips; k-- > 0;) {
                const size_t s = lo + k * q + o;
                if (s > hi) continue;
                const size_t e = std::min(lo + k * q + o_end, hi + 1);
                if (s == q || r == 0) {
                    shift_or_alone(fn, w, s, e - 1, q, r);
                    continue;
                }
                if (s + 1 < e) fn(w, s + 1, e, q, r);
                // Below lo + q + 1 the source word lies below the pass: nobody writes it.
                shift_or_word(w, s, q, r, s >= lo + q + 1 ? mine[k] : w[s - q - 1]);
            }
        }
    });
}

void fill_ones(Team *team, uint64_t *w, size_t from, size_t to) {
    split_range(team, from, to, [w](unsigned, size_t a, size_t b) {
        memset(w + a, 0xFF, (b - a) * sizeof(uint64_t));
    });
}

}  // namespace fmss

namespace fmss {

size_t merge_sums_on(Team *team, const uint64_t *a, size_t n, size_t m, uint64_t x,
                     uint64_t *out) {
    const size_t least = static_cast<size_t>(tuning().thread_words.load(std::memory_order_relaxed));
    size_t parts = team == nullptr ? 1 : team->size();
    if (least != 0 && (n + m) / least < parts) parts = (n + m) / least;
    parts = std::min(parts, n);
    if (parts <= 1) return merge_sums(a, n, m, x, out);
    // Part t takes the sums in [a[n t / parts], a[n (t + 1) / parts]) of both sides: a[i[t] ..)
    // and a[j[t] ..) + x. The bounds ascend with t, since a does.
    std::vector<size_t> i(parts + 1), j(parts + 1), count(parts);
    i[parts] = n;
    j[parts] = m;
    for (size_t t = 1; t < parts; t++) {
        const uint64_t v = a[n * t / parts];
        i[t] = n * t / parts;
        j[t] = v <= x ? 0 : static_cast<size_t>(std::lower_bound(a, a + m, v - x) - a);
    }
    team->each([&](unsigned t) {
        if (t >= parts) return;
        count[t] = merge_two(a + i[t], i[t + 1] - i[t], a + j[t], j[t + 1] - j[t], x,
                             out + i[t] + j[t]);
    });
    size_t k = count[0];
    for (size_t t = 1; t < parts; t++) {
        memmove(out + k, out + i[t] + j[t], count[t] * sizeof(uint64_t));
        k += count[t];
    }
    return k;
}

}  // namespace fmss
