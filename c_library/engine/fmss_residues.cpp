// Residue classes of the exact engine. Adding x = g a + r' to class r ORs that class, shifted by a
// (plus one when r + r' wraps past g), into class r + r' mod g: a pass over a g times shorter
// bitset per occupied class, instead of one over the whole reach set.
#include "fmss_residues.h"

#include <algorithm>
#include <cstring>

#include "fmss_kernels.h"
#include "fmss_pass.h"
#include "fmss_tuning.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define FMSS_HAVE_PDEP 1
#endif

namespace fmss {
namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr size_t kNone = ~size_t{0};

// More classes than this cost more to plan and to keep track of than they save.
constexpr size_t kMaxClasses = 4096;

bool have_pdep() {
#ifdef FMSS_HAVE_PDEP
    static const bool yes = __builtin_cpu_supports("bmi2");
    return yes && tuning().deposit.load(std::memory_order_relaxed) != 0;
#else
    return false;
#endif
}

}  // namespace

ResidueSums::ResidueSums(uint64_t g, uint64_t limit, uint64_t *spare, size_t spare_words,
                         Team *team)
    : g_(g),
      limit_(limit),
      words_(static_cast<size_t>(limit / g / 64) + 1),
      spare_(spare),
      spare_words_(spare_words),
      team_(team) {
    slot_of(0);
    lo_[0] = 0;  // the caller fills class 0
    hi_[0] = words_ - 1;
}

size_t ResidueSums::slot_of(uint64_t r) {
    const auto it = slot_.find(r);
    if (it != slot_.end()) return it->second;
    uint64_t *c;
    if (spare_words_ >= words_) {
        c = spare_;
        spare_ += words_;
        spare_words_ -= words_;
        memset(c, 0, words_ * sizeof(uint64_t));
    } else {
        owned_.emplace_back(new uint64_t[words_]());
        c = owned_.back().get();
    }
    classes_.push_back(c);
    residue_.push_back(r);
    lo_.push_back(words_);  // empty: lo > hi
    hi_.push_back(0);
    slot_.emplace(r, classes_.size() - 1);
    return classes_.size() - 1;
}

void ResidueSums::or_class(size_t dst, const uint64_t *src, size_t src_slot, uint64_t shift) {
    const size_t slo = lo_[src_slot], shi = hi_[src_slot];
    if (slo > shi || shift / 64 >= words_) return;
    const size_t q = static_cast<size_t>(shift / 64);
    const unsigned r = static_cast<unsigned>(shift % 64);
    const size_t lo = slo + q;
    if (lo >= words_) return;
    const size_t end = std::min(shi + q + (r != 0 ? 2 : 1), words_);
    // Source and destination are apart: any split is exact.
    uint64_t *d = classes_[dst];
    split_range(team_, lo, end,
                [=](unsigned, size_t a, size_t b) { or_shifted(d, src, a, b, q, r); });
    lo_[dst] = std::min(lo_[dst], lo);
    hi_[dst] = std::max(hi_[dst], end - 1);  // an empty class has hi 0
}

void ResidueSums::add(uint64_t x) {
    const uint64_t a = x / g_, rx = x % g_;
    const size_t n = classes_.size();
    auto old_slot = [&](uint64_t r) {
        const auto it = slot_.find(r);
        return it != slot_.end() && it->second < n ? it->second : kNone;
    };
    auto succ = [&](uint64_t r) { return r + rx >= g_ ? r + rx - g_ : r + rx; };
    // Class r feeds class r + rx: a class is read before the pass that writes it, so chains go
    // from their far end back; a chain closed into a cycle keeps a copy of one class.
    auto pass = [&](size_t src_slot, const uint64_t *src) {
        const uint64_t r = residue_[src_slot];
        const size_t dst = slot_of(succ(r));
        or_class(dst, src, src_slot, a + (r + rx >= g_ ? 1 : 0));
    };
    std::vector<char> done(n, 0);
    std::vector<size_t> chain;
    for (size_t s = 0; s < n; s++) {
        const uint64_t pred = residue_[s] >= rx ? residue_[s] - rx : residue_[s] + g_ - rx;
        if (old_slot(pred) != kNone) continue;  // not the start of a chain
        chain.clear();
        for (size_t k = s; k != kNone; k = old_slot(succ(residue_[k]))) chain.push_back(k);
        for (size_t k = chain.size(); k-- > 0;) {
            pass(chain[k], classes_[chain[k]]);
            done[chain[k]] = 1;
        }
    }
    for (size_t s = 0; s < n; s++) {
        if (done[s]) continue;
        chain.clear();
        size_t k = s;
        do {
            chain.push_back(k);
            k = old_slot(succ(residue_[k]));
        } while (k != s);
        if (!saved_) saved_.reset(new uint64_t[words_]);
        memcpy(saved_.get(), classes_[s], words_ * sizeof(uint64_t));
        const size_t saved_lo = lo_[s], saved_hi = hi_[s];
        for (size_t j = chain.size(); j-- > 1;) {
            pass(chain[j], classes_[chain[j]]);
            done[chain[j]] = 1;
        }
        // Class s has been written by now; its pass uses the copy and the range it had.
        const size_t now_lo = lo_[s], now_hi = hi_[s];
        lo_[s] = saved_lo;
        hi_[s] = saved_hi;
        const uint64_t r = residue_[s];
        const size_t dst = slot_of(succ(r));
        or_class(dst, saved_.get(), s, a + (r + rx >= g_ ? 1 : 0));
        lo_[s] = now_lo;
        hi_[s] = now_hi;
        done[s] = 1;
    }
}

#ifdef FMSS_HAVE_PDEP
// Output words g i .. g i + g - 1 for class words i in [from, to); c holds a class word of each.
__attribute__((target("bmi2"))) static void deposit_words(
    const std::vector<const uint64_t *> &cls, const unsigned *first, const uint64_t *mask,
    size_t gw, size_t from, size_t to, uint64_t *c, uint64_t *out, size_t out_words) {
    const size_t n = cls.size();
    for (size_t i = from; i < to; i++) {
        const size_t base = gw * i;
        if (base >= out_words) break;
        const size_t kend = std::min(gw, out_words - base);
        for (size_t j = 0; j < n; j++) c[j] = cls[j][i];
        for (size_t k = 0; k < kend; k++) {
            uint64_t w = 0;
            for (size_t j = 0; j < n; j++) {
                const unsigned f = first[j * gw + k];
                w |= _pdep_u64(f < 64 ? c[j] >> f : 0, mask[j * gw + k]);
            }
            out[base + k] = w;
        }
    }
}

// For g <= 64 each output word takes a run of consecutive bits from each class word, deposited
// at every g-th bit: one pdep per class and output word. Class words go out independently, split
// across the team.
static void write_by_deposit(const std::vector<const uint64_t *> &cls,
                             const std::vector<uint64_t> &residue, uint64_t g, size_t words,
                             uint64_t *out, size_t out_words, Team *team) {
    const size_t n = cls.size(), gw = static_cast<size_t>(g);
    std::vector<unsigned> first(n * gw);
    std::vector<uint64_t> mask(n * gw);
    for (size_t j = 0; j < n; j++) {
        for (size_t k = 0; k < gw; k++) {
            const uint64_t p0 = (residue[j] + g - (64 * k) % g) % g;
            uint64_t m = 0;
            for (uint64_t p = p0; p < 64; p += g) m |= uint64_t{1} << p;
            mask[j * gw + k] = m;
            first[j * gw + k] = static_cast<unsigned>((64 * k + p0 - residue[j]) / g);
        }
    }
    std::vector<uint64_t> c(n * (team == nullptr ? 1 : team->size()));
    split_range(team, 0, words, [&](unsigned t, size_t from, size_t to) {
        deposit_words(cls, first.data(), mask.data(), gw, from, to, c.data() + t * n, out,
                      out_words);
    });
}
#endif

void ResidueSums::write(uint64_t *out) const {
    const size_t out_words = static_cast<size_t>(limit_ / 64) + 1;
    const std::vector<const uint64_t *> cls(classes_.begin(), classes_.end());
#ifdef FMSS_HAVE_PDEP
    if (g_ <= 64 && have_pdep()) {
        write_by_deposit(cls, residue_, g_, words_, out, out_words, team_);
        return;
    }
#endif
    // Output words [g i, g i + g) hold exactly the bits of class words i: row b of that block (the
    // g bits from bit g b) holds bit b of every class word. Where class words are full, every row
    // gets the same mask, laid down 64 times and kept while it stays the same (the saturated
    // middle); the other class words go in bit by bit.
    const size_t gw = static_cast<size_t>(g_), n = cls.size(), mask_words = gw / 64 + 1;
    std::vector<uint64_t> block(gw + 2), pattern(gw + 2), mask(mask_words), pattern_mask;
    std::vector<size_t> mixed;
    for (size_t i = 0; i < words_; i++) {
        const size_t base = gw * i;
        if (base >= out_words) break;
        const size_t kend = std::min(gw, out_words - base);
        std::fill(mask.begin(), mask.end(), 0);
        mixed.clear();
        for (size_t j = 0; j < n; j++) {
            const uint64_t c = cls[j][i];
            if (c == kAllOnes) {
                mask[residue_[j] / 64] |= uint64_t{1} << (residue_[j] % 64);
            } else if (c != 0) {
                mixed.push_back(j);
            }
        }
        if (mask != pattern_mask) {
            std::fill(pattern.begin(), pattern.end(), 0);
            for (uint64_t b = 0; b < 64; b++) {
                for (size_t k = 0; k < mask_words; k++) {
                    if (mask[k] == 0) continue;
                    const uint64_t pos = g_ * b + 64 * k;
                    const unsigned s = static_cast<unsigned>(pos % 64);
                    pattern[pos / 64] |= mask[k] << s;
                    if (s != 0) pattern[pos / 64 + 1] |= mask[k] >> (64 - s);
                }
            }
            pattern_mask = mask;
        }
        if (mixed.empty()) {
            memcpy(out + base, pattern.data(), kend * sizeof(uint64_t));
            continue;
        }
        memcpy(block.data(), pattern.data(), gw * sizeof(uint64_t));
        for (size_t j : mixed) {
            for (uint64_t c = cls[j][i]; c != 0; c &= c - 1) {
                const uint64_t pos = g_ * static_cast<uint64_t>(__builtin_ctzll(c)) + residue_[j];
                block[pos / 64] |= uint64_t{1} << (pos % 64);
            }
        }
        memcpy(out + base, block.data(), kend * sizeof(uint64_t));
    }
}

uint64_t residue_work(uint64_t g, uint64_t limit, const std::vector<uint64_t> &outliers,
                      size_t max_words) {
    const uint64_t words = limit / g / 64 + 1, out_words = limit / 64 + 1;
    std::vector<uint64_t> occupied{0}, next;
    uint64_t work = 0;
    for (uint64_t x : outliers) {
        const uint64_t rx = x % g;
        work += occupied.size() * words;
        next = occupied;
        for (uint64_t r : occupied) next.push_back(r + rx >= g ? r + rx - g : r + rx);
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        if (next.size() > kMaxClasses || next.size() * words > max_words) return ~uint64_t{0};
        occupied.swap(next);
    }
    const uint64_t n = occupied.size();
    if (g <= 64 && have_pdep()) return work + out_words * (1 + n / 2);
    return work + 2 * out_words + n * (limit / g) / 8;
}

}  // namespace fmss
