/* Worker threads of the exact engine: one pool per process, started on first use, shared by every
   solve in it, so that concurrent solves never run more threads than it holds. Private to the
   library. */
#ifndef FMSS_POOL_H
#define FMSS_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace fmss {

struct Worker;

/* Threads a solve on the calling thread may use: the calling thread's own count (set by
   fmss_local_threads), else the `threads` knob, else ZO_THREADS (a positive integer), else the
   cores this process may run on. */
unsigned solve_threads();

/* Up to `want` threads, the calling one included, for one solve: workers it holds until it ends.
   Fewer (down to the caller alone) while other solves hold the rest of the pool. */
class Team {
public:
    explicit Team(unsigned want);
    ~Team();
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;

    unsigned size() const { return size_; }
    /* fn(arg, t) for each t in [0, size()) at once, t = 0 on the calling thread; returns once
       every call has returned. */
    void run(void (*fn)(void *, unsigned), void *arg);
    template <class F>
    void each(F &&f) {
        run([](void *a, unsigned t) { (*static_cast<F *>(a))(t); }, &f);
    }
    /* Called by a worker once its fn has returned. */
    void finished();

    static constexpr unsigned kMost = 64;

private:
    unsigned size_ = 1;
    Worker *workers_[kMost];
    std::atomic<unsigned> pending_{0};
    std::mutex done_mutex_;
    std::condition_variable done_;
};

}  // namespace fmss

#endif /* FMSS_POOL_H */
