/* Knobs of the exact engine. The defaults are measured; tests move them to force each path and
   each switch between paths. Private to the library. */
#ifndef FMSS_TUNING_H
#define FMSS_TUNING_H

#include <atomic>
#include <cstdint>

namespace fmss {

enum Path : int64_t { kPathAuto = 0, kPathDense = 1, kPathLists = 2, kPathResidues = 3 };
enum KernelChoice : int64_t { kKernelAuto = 0, kKernelBaseline = 1, kKernelAvx2 = 2,
                              kKernelAvx512 = 3 };

struct Tuning {
    std::atomic<int64_t> path{kPathAuto};
    // With kPathLists: how many items the lists take before the bitset takes over (-1: by cost).
    std::atomic<int64_t> list_items{-1};
    // Lists start as runs (1), as sorted sums (0), or as the cost says (-1).
    std::atomic<int64_t> start_as_runs{-1};
    std::atomic<int64_t> kernel{kKernelAuto};
    // Reach sets at least this large (bytes) get the AVX2 shift-or rather than AVX-512: past a
    // last-level cache of a common size (the systems' own figures are unreliable under
    // virtualisation).
    std::atomic<int64_t> avx2_from_bytes{32 << 20};
    // Inputs whose plain shift-or costs at most this many word steps skip all planning.
    std::atomic<int64_t> direct_work{2048};
    // Residue classes of a factor up to 64 are written with the bit-deposit instruction when the
    // processor has it (1), or bit by bit (0).
    std::atomic<int64_t> deposit{1};
    // Threads per solve (0: as the process has them, see solve_threads).
    std::atomic<int64_t> threads{0};
    // Least words a thread takes of a pass: a hand-over to a worker costs microseconds when it is
    // watching, tens of them when it sleeps, and on a loaded machine up to a time slice (a 1 ms
    // solve measured 1.5 times slower with shares of 1 MiB); a share this long takes about 0.2 ms.
    // Results below twice this many words never leave the calling thread.
    std::atomic<int64_t> thread_words{1 << 19};
};

Tuning &tuning();

}  // namespace fmss

#endif /* FMSS_TUNING_H */
