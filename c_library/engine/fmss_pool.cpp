// Worker threads of the exact engine. The pool starts empty and grows, on demand, to the most
// threads any solve has asked for (less one: the caller works too); a solve takes the workers
// that are free and gives them back when it ends, so concurrent solves share the pool instead of
// each starting its own. A forked child starts over with an empty pool: the parent's workers do
// not exist there.
#include "fmss_pool.h"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "fmss_tuning.h"
#include "zo_internal.h"

namespace fmss {

struct Worker {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> go{false};
    bool sleeping = false;  // guarded by m
    void (*fn)(void *, unsigned) = nullptr;
    void *arg = nullptr;
    unsigned index = 0;
    Team *team = nullptr;
};

namespace {

thread_local int64_t local_threads = 0;  // this thread's own count; 0: the process's

// A solve's passes follow each other within microseconds: a worker watches for the next one a
// little while before it sleeps, which saves the wake-up (tens of microseconds, far more on a
// loaded machine) on every pass. It yields for most of that while, leaving the core to whatever
// else is ready to run: spinning there made three threads on two cores eight times slower.
constexpr int kSpins = 256, kYields = 64;

void work(Worker *w) {
    for (;;) {
        for (int spin = 0; spin < kSpins + kYields && !w->go.load(std::memory_order_acquire);
             spin++) {
            if (spin >= kSpins) {
                sched_yield();
            } else {
#if defined(__x86_64__)
                __builtin_ia32_pause();
#endif
            }
        }
        if (!w->go.load(std::memory_order_acquire)) {
            std::unique_lock<std::mutex> lock(w->m);
            w->sleeping = true;
            w->cv.wait(lock, [w] { return w->go.load(std::memory_order_acquire); });
            w->sleeping = false;
        }
        w->go.store(false, std::memory_order_relaxed);
        w->fn(w->arg, w->index);
        w->team->finished();
    }
}

// Never destroyed: its threads wait on it until the process ends.
struct Pool {
    size_t started = 0;
    std::vector<Worker *> free;
};

std::mutex pool_mutex;
Pool *pool = nullptr;  // guarded by pool_mutex

void before_fork() { pool_mutex.lock(); }
void after_fork_parent() { pool_mutex.unlock(); }
void after_fork_child() {
    pool = nullptr;  // the parent's, without its threads: left behind
    pool_mutex.unlock();
}

// A new worker, or null when no thread could be started.
Worker *start_worker(Pool &p) {
    // Room for every worker to come back, so that giving them back cannot fail.
    p.free.reserve(p.started + 1);
    auto *w = new (std::nothrow) Worker;
    if (w == nullptr) return nullptr;
    try {
        std::thread(work, w).detach();
    } catch (const std::system_error &) {
        delete w;
        return nullptr;
    }
    p.started++;
    return w;
}

unsigned usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n != 0 ? n : 1;
}

}  // namespace

unsigned solve_threads() {
    int64_t n = local_threads;
    if (n <= 0) n = tuning().threads.load(std::memory_order_relaxed);
    if (n <= 0) {
        // Read at each large solve, as the other settings are: anything but a positive integer
        // leaves the default.
        const char *v = getenv("ZO_THREADS");
        char *end = nullptr;
        const long long parsed = v != nullptr ? strtoll(v, &end, 10) : 0;
        n = v != nullptr && *v != '\0' && *end == '\0' && parsed > 0 ? parsed : usable_cores();
    }
    return n >= Team::kMost ? Team::kMost : static_cast<unsigned>(n);
}

Team::Team(unsigned want) {
    if (want <= 1) return;
    if (want > kMost) want = kMost;
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (pool == nullptr) {
        static bool hooked = false;
        if (!hooked) hooked = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
        // Without the hook a forked child could find a pool whose threads are gone.
        if (!hooked) return;
        pool = new (std::nothrow) Pool;
        if (pool == nullptr) return;
    }
    Pool &p = *pool;
    try {
        while (size_ < want) {
            Worker *w = nullptr;
            if (!p.free.empty()) {
                w = p.free.back();
                p.free.pop_back();
            } else if (p.started < want - 1) {
                w = start_worker(p);  // grown to what this solve asks; later solves share them
            }
            if (w == nullptr) break;
            workers_[size_ - 1] = w;
            size_++;
        }
    } catch (const std::bad_alloc &) {
        // fewer workers
    }
}

Team::~Team() {
    if (size_ <= 1) return;
    std::lock_guard<std::mutex> lock(pool_mutex);
    for (unsigned t = 1; t < size_; t++) pool->free.push_back(workers_[t - 1]);
}

void Team::run(void (*fn)(void *, unsigned), void *arg) {
    if (size_ <= 1) {
        fn(arg, 0);
        return;
    }
    pending_.store(size_ - 1, std::memory_order_relaxed);
    for (unsigned t = 1; t < size_; t++) {
        Worker *w = workers_[t - 1];
        w->fn = fn;  // the worker reads these only after it sees go
        w->arg = arg;
        w->index = t;
        w->team = this;
        bool asleep;
        {
            std::lock_guard<std::mutex> lock(w->m);
            w->go.store(true, std::memory_order_release);
            asleep = w->sleeping;
        }
        if (asleep) w->cv.notify_one();
    }
    fn(arg, 0);
    // The workers' shares end about when the caller's does: a short spin first.
    for (int spin = 0; spin < kSpins && pending_.load(std::memory_order_acquire) != 0; spin++) {
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    // Taken even when the count is down: the last worker may still be inside finished().
    std::unique_lock<std::mutex> lock(done_mutex_);
    done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
}

void Team::finished() {
    // The caller may return (and this team end) as soon as pending_ reaches 0, so the lock is
    // taken first: it cannot then be gone before the notification.
    std::lock_guard<std::mutex> lock(done_mutex_);
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) done_.notify_one();
}

}  // namespace fmss

extern "C" int64_t fmss_local_threads(int64_t threads) {
    const int64_t old = fmss::local_threads;
    fmss::local_threads = threads > 0 ? threads : 0;
    return old;
}
