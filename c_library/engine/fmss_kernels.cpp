// Word-parallel kernels of the exact engine. Each loop body is written once and built for
// AVX-512, AVX2 and baseline x86-64; the caller picks a build per solve.
#include "fmss_kernels.h"

#include "fmss_tuning.h"

namespace fmss {
namespace {

#define FMSS_ALWAYS_INLINE inline __attribute__((always_inline))

// Walks down, so every word read still holds the set before x = 64q + r was added: x is used once
// per sum. A plain downward stream also keeps the hardware prefetcher on it past the cache.
FMSS_ALWAYS_INLINE void shift_or_body(uint64_t *w, size_t lo, size_t end, size_t q, unsigned r) {
    if (r == 0) {
        for (size_t j = end; j-- > lo;) w[j] |= w[j - q];
        return;
    }
    const unsigned l = 64 - r;
    for (size_t j = end; j-- > lo;) w[j] |= (w[j - q] << r) | (w[j - q - 1] >> l);
}

void shift_or_baseline(uint64_t *w, size_t lo, size_t end, size_t q, unsigned r) {
    shift_or_body(w, lo, end, q, r);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define FMSS_HAVE_X86_CLONES 1
__attribute__((target("avx2"))) void shift_or_avx2(uint64_t *w, size_t lo, size_t end, size_t q,
                                                    unsigned r) {
    shift_or_body(w, lo, end, q, r);
}

__attribute__((target("avx512f"))) void shift_or_avx512(uint64_t *w, size_t lo, size_t end,
                                                         size_t q, unsigned r) {
    shift_or_body(w, lo, end, q, r);
}
#endif

}  // namespace

Tuning &tuning() {
    static Tuning t;
    return t;
}

// AVX-512 wins while the reach set sits in the cache; once it streams from memory, its wider
// loads gain nothing and the AVX2 build measured faster (1.14 to 1.52 times with a half set of
// 60 MB; AVX-512 1.18 times faster with 6 MB, in the cache).
ShiftOrFn pick_shift_or(size_t span_words) {
#ifdef FMSS_HAVE_X86_CLONES
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    switch (tuning().kernel.load(std::memory_order_relaxed)) {
    case kKernelBaseline:
        return shift_or_baseline;
    case kKernelAvx2:
        return avx2 ? shift_or_avx2 : shift_or_baseline;
    case kKernelAvx512:
        return avx512 ? shift_or_avx512 : avx2 ? shift_or_avx2 : shift_or_baseline;
    default:
        break;
    }
    const bool streams = static_cast<int64_t>(span_words * sizeof(uint64_t)) >=
                         tuning().avx2_from_bytes.load(std::memory_order_relaxed);
    if (avx512 && !(streams && avx2)) return shift_or_avx512;
    if (avx2) return shift_or_avx2;
#else
    (void)span_words;
#endif
    return shift_or_baseline;
}

FMSS_VECTOR_CLONES
void or_shifted(uint64_t *__restrict dst, const uint64_t *__restrict src, size_t lo, size_t end,
                size_t q, unsigned r) {
    if (lo >= end) return;
    size_t j = lo;
    if (r == 0) {
        for (; j < end; j++) dst[j] |= src[j - q];
        return;
    }
    const unsigned l = 64 - r;
    if (j == q) {  // the lowest target has no source word below
        dst[j] |= src[0] << r;
        j++;
    }
    for (; j < end; j++) dst[j] |= (src[j - q] << r) | (src[j - q - 1] >> l);
}

void fill_bits(uint64_t *w, uint64_t a, uint64_t b) {
    const uint64_t wa = a / 64, wb = b / 64;
    const uint64_t ones = ~uint64_t{0};
    const uint64_t head = ones << (a % 64);
    const uint64_t tail = ones >> (63 - b % 64);
    if (wa == wb) {
        w[wa] |= head & tail;
        return;
    }
    w[wa] |= head;
    for (uint64_t k = wa + 1; k < wb; k++) w[k] = ones;
    w[wb] |= tail;
}

}  // namespace fmss
