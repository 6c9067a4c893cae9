/* Word-parallel kernels of the exact engine, built per instruction set. Private to the library. */
#ifndef FMSS_KERNELS_H
#define FMSS_KERNELS_H

#include <cstddef>
#include <cstdint>

// Loops built for several instruction sets, one picked when the module loads; not under
// ThreadSanitizer, whose runtime is not up yet when the loader picks.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FMSS_NO_CLONES 1
#endif
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && \
    !defined(FMSS_NO_CLONES)
#define FMSS_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define FMSS_VECTOR_CLONES
#endif

namespace fmss {

/* w[j] |= w[j - q] << r | w[j - q - 1] >> (64 - r) for j in [lo, end), lo > q, walking down. */
using ShiftOrFn = void (*)(uint64_t *w, size_t lo, size_t end, size_t q, unsigned r);

/* The shift-or for a reach set of `span_words` words: by instruction set, and by the memory tier
   the set lives in (see the definition for why). */
ShiftOrFn pick_shift_or(size_t span_words);

/* dst[j] |= (src shifted up by 64q + r bits)[j] for j in [lo, end), lo >= q; dst and src apart. */
void or_shifted(uint64_t *__restrict dst, const uint64_t *__restrict src, size_t lo, size_t end,
                size_t q, unsigned r);

/* Bit j of x moved to bit 63 - j. */
inline uint64_t reverse_bits(uint64_t x) {
#if defined(__clang__)
    return __builtin_bitreverse64(x);
#else
    x = __builtin_bswap64(x);
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((x & 0x0F0F0F0F0F0F0F0FULL) << 4);
    x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
    x = ((x >> 1) & 0x5555555555555555ULL) | ((x & 0x5555555555555555ULL) << 1);
    return x;
#endif
}

/* Bits [a, b] of w set. */
void fill_bits(uint64_t *w, uint64_t a, uint64_t b);

}  // namespace fmss

#endif /* FMSS_KERNELS_H */
