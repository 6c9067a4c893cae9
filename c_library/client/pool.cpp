// The process-wide connection share, the pool of multi handles that drive one transfer each,
// and their renewal in a forked child.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <stdlib.h>

#include <curl/curl.h>
#include <pthread.h>
#ifdef ZO_HAVE_OPENSSL
#include <openssl/crypto.h>
#endif
#include <sys/resource.h>

#include "client/pool.h"
#include "zo_internal.h"

namespace {

// Idle connections the share keeps open, at most: concurrent solves beyond that reconnect. Each
// costs a descriptor and its TLS state (tens of KiB) while idle, and only as many exist as solves
// ever ran at once; a quarter of the descriptor limit is left to them (see kept_connections()).
constexpr long most_kept_connections = 1024;
constexpr long least_kept_connections = 32;

// One process-wide share of connections, TLS sessions and name lookups, so that the submit and
// the polls of a solve, and consecutive solves, reuse one verified connection. Each kind of data
// has its own lock. Never released: worker threads may still use it when the process exits.
struct Share {
    CURLSH *handle = nullptr;
    std::mutex locks[CURL_LOCK_DATA_LAST];
};

void lock_share(CURL *, curl_lock_data data, curl_lock_access, void *userp) {
    static_cast<Share *>(userp)->locks[data].lock();
}

void unlock_share(CURL *, curl_lock_data data, void *userp) {
    static_cast<Share *>(userp)->locks[data].unlock();
}

Share *make_share() {
    auto *share = new (std::nothrow) Share;
    if (share == nullptr) return nullptr;
    share->handle = curl_share_init();
    bool ok = share->handle != nullptr;
    for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION,
                                CURL_LOCK_DATA_DNS})
        ok = ok && curl_share_setopt(share->handle, CURLSHOPT_SHARE, data) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share->handle, CURLSHOPT_LOCKFUNC, lock_share) == CURLSHE_OK &&
         curl_share_setopt(share->handle, CURLSHOPT_UNLOCKFUNC, unlock_share) == CURLSHE_OK &&
         curl_share_setopt(share->handle, CURLSHOPT_USERDATA, share) == CURLSHE_OK;
    if (!ok) {
        if (share->handle != nullptr) curl_share_cleanup(share->handle);
        delete share;
        return nullptr;
    }
    return share;
}

// Enough idle connections for as many concurrent solves as a program is likely to run, within a
// quarter of the descriptors the process may open.
long kept_connections() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return most_kept_connections;
    const rlim_t quarter = files.rlim_cur / 4;
    if (quarter < static_cast<rlim_t>(least_kept_connections)) return least_kept_connections;
    return quarter < static_cast<rlim_t>(most_kept_connections) ? static_cast<long>(quarter)
                                                                  : most_kept_connections;
}

// Multi handles that drive one transfer at a time, each with its easy handle, kept for the next
// exchange. curl_easy_perform makes and destroys a multi handle per easy handle, and destroying
// one sets the SIGPIPE disposition (twice), which the kernel does under a process-wide lock in time
// proportional to the number of threads: with a thousand threads solving, that alone took a tenth
// of the client's CPU. A kept easy handle keeps its buffers and state between calls. Never
// released, like the share.
struct Kept {
    CURLM *multi;
    CURL *easy;
};
struct MultiPool {
    std::mutex lock;
    std::vector<Kept> idle;
    size_t easy_handles = 0;  // of the idle pairs, those that kept their easy handle
};

// An idle easy handle keeps its buffers (tens of KiB): as many as a busy program reuses at once.
constexpr size_t most_kept_easy_handles = 32;

// Exchanges running, and the multi handles driving a transfer now (to wake them at the stop).
struct InFlight {
    std::mutex lock;
    std::condition_variable drained;
    int exchanges = 0;
    std::vector<CURLM *> driving;
};

// Never released; a forked child starts afresh (another thread may have held the lock at the fork).
InFlight *flights = new InFlight;
std::atomic<bool> stopping{false};

// Registers `m` as driving a transfer; false when the client is stopping (then it is not).
bool start_driving(CURLM *m) {
    std::lock_guard<std::mutex> held(flights->lock);
    if (stopping.load()) return false;
    try {
        flights->driving.push_back(m);
    } catch (...) {
        return false;
    }
    return true;
}

void stop_driving(CURLM *m) {
    std::lock_guard<std::mutex> held(flights->lock);
    auto &d = flights->driving;
    for (size_t i = 0; i < d.size(); i++) {
        if (d[i] == m) {
            d[i] = d.back();
            d.pop_back();
            break;
        }
    }
}

// The calling thread's interrupt check, and when it is next due.
constexpr auto check_interval = std::chrono::milliseconds(100);
thread_local zo_interrupt_check_t *watch = nullptr;
thread_local std::chrono::steady_clock::time_point watch_due;

std::once_flag curl_initialised;
std::atomic<Share *> process_share{nullptr};
std::atomic<MultiPool *> process_multis{nullptr};
long process_kept_connections = least_kept_connections;

// A forked child must not talk over its parent's connections (nor wait on its parent's locks):
// it starts a share and a pool of its own, and leaves the parent's untouched.
void renew_share_in_child() {
    if (InFlight *fresh = new (std::nothrow) InFlight) flights = fresh;
    process_share.store(make_share());
    process_multis.store(new (std::nothrow) MultiPool);
}

// Stops every exchange and waits, for as long as they take, until none is inside libcurl: the TLS
// library tears its locks and tables down at the process's exit, under any transfer still
// running. Each step of a stopped exchange ends at once, so the wait is short; an exchange that
// begins later fails before it touches libcurl.
void stop_and_wait(const std::chrono::duration<double> *most) {
    std::unique_lock<std::mutex> held(flights->lock);
    stopping.store(true);
    for (CURLM *m : flights->driving) curl_multi_wakeup(m);
    const auto none_left = [] { return flights->exchanges == 0; };
    if (most == nullptr) {
        flights->drained.wait(held, none_left);
    } else {
        flights->drained.wait_for(held, *most, none_left);
    }
}

void stop_at_exit() { stop_and_wait(nullptr); }

// libcurl's global set-up, the share and the pool, once per process. NULL when the share could
// not be made: transfers then go unshared.
CURLSH *share_once() {
    std::call_once(curl_initialised, [] {
#ifdef ZO_HAVE_OPENSSL
        // Unless something in the process set it up before, the TLS library then tears nothing
        // down at the exit: a thread that ran a transfer may still be ending then.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
        curl_global_init(CURL_GLOBAL_ALL);
        // Registered after the TLS library's own exit handler, if it has one (set up by now, by
        // libcurl or by an earlier user), so that it runs first.
        atexit(stop_at_exit);
        process_kept_connections = kept_connections();
        process_share.store(make_share());
        process_multis.store(new (std::nothrow) MultiPool);
        pthread_atfork(nullptr, nullptr, renew_share_in_child);
    });
    Share *share = process_share.load();
    return share != nullptr ? share->handle : nullptr;
}

void release(Kept kept) {
    if (kept.easy != nullptr) curl_easy_cleanup(kept.easy);
    if (kept.multi != nullptr) curl_multi_cleanup(kept.multi);
}

// A pair from the pool, or a new one (either handle NULL when it could not be made).
Kept borrow(MultiPool **from) {
    share_once();
    MultiPool *pool = process_multis.load();
    *from = pool;
    Kept kept{nullptr, nullptr};
    if (pool != nullptr) {
        std::lock_guard<std::mutex> held(pool->lock);
        if (!pool->idle.empty()) {
            kept = pool->idle.back();
            pool->idle.pop_back();
            if (kept.easy != nullptr) pool->easy_handles--;
        }
    }
    if (kept.easy == nullptr) kept.easy = curl_easy_init();
    if (kept.multi != nullptr) return kept;
    kept.multi = curl_multi_init();
    // The limit of the share's cache is read from the multi handle of the transfer returning a
    // connection to it.
    if (kept.multi != nullptr &&
        curl_multi_setopt(kept.multi, CURLMOPT_MAXCONNECTS, process_kept_connections) != CURLM_OK) {
        curl_multi_cleanup(kept.multi);
        kept.multi = nullptr;
    }
    return kept;
}

// Back to the pool it came from, driving nothing. A multi handle holds two descriptors (its
// wake-up pair): the pool keeps no more of them than connections are kept, and destroys the rest.
// A pair borrowed before a fork is left alone in the child: it may point into the parent's share.
void give_back(Kept kept, MultiPool *from) {
    MultiPool *pool = process_multis.load();
    if (pool != from) return;
    if (pool != nullptr && kept.multi != nullptr && kept.easy != nullptr) {
        std::unique_lock<std::mutex> held(pool->lock);
        if (pool->idle.size() < static_cast<size_t>(process_kept_connections)) {
            const bool keep_easy = pool->easy_handles < most_kept_easy_handles;
            try {
                pool->idle.push_back({kept.multi, keep_easy ? kept.easy : nullptr});
            } catch (...) {
                held.unlock();
                release(kept);
                return;
            }
            if (keep_easy) pool->easy_handles++;
            held.unlock();
            if (!keep_easy) curl_easy_cleanup(kept.easy);
            return;
        }
    }
    release(kept);
}

}  // namespace

extern "C" void zo_client_init(void) { share_once(); }

extern "C" zo_interrupt_check_t *zo_client_watch(zo_interrupt_check_t *check) {
    zo_interrupt_check_t *before = watch;
    watch = check;
    watch_due = std::chrono::steady_clock::now() + check_interval;
    return before;
}

extern "C" void zo_client_stop(double wait_s) {
    const auto most = std::chrono::duration<double>(wait_s > 0 ? wait_s : 0);
    stop_and_wait(wait_s < 0 ? nullptr : &most);
}

namespace zo {

CURLSH *connection_share() { return share_once(); }

bool client_stopping() {
    return stopping.load(std::memory_order_relaxed) || (watch != nullptr && watch->interrupted);
}

void check_interrupt() {
    zo_interrupt_check_t *current = watch;
    if (current == nullptr || current->interrupted) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < watch_due) return;
    // Whatever the check runs (a signal handler may solve too) runs unwatched, as a caller would.
    watch = nullptr;
    const int stop = current->check(current->arg);
    watch = current;
    watch_due = std::chrono::steady_clock::now() + check_interval;
    if (stop != 0) current->interrupted = 1;
}

ExchangeInFlight::ExchangeInFlight() {
    std::lock_guard<std::mutex> held(flights->lock);
    flights->exchanges++;
}

ExchangeInFlight::~ExchangeInFlight() {
    std::lock_guard<std::mutex> held(flights->lock);
    // A child forked inside an exchange counts from zero.
    if (flights->exchanges > 0 && --flights->exchanges == 0) flights->drained.notify_all();
}

Driver::Driver() {
    MultiPool *from = nullptr;
    const Kept kept = borrow(&from);
    multi_ = kept.multi;
    easy_ = kept.easy;
    pool_ = from;
}

Driver::~Driver() {
    const Kept kept{multi_, easy_};
    if (in_use_) {
        release(kept);  // a handle that could not be taken off its multi handle goes with it
    } else {
        give_back(kept, static_cast<MultiPool *>(pool_));
    }
}

CURL *Driver::start() {
    if (multi_ == nullptr || easy_ == nullptr || in_use_) return nullptr;
    curl_easy_reset(easy_);
    return easy_;
}

CURLcode Driver::perform() {
    CURLM *m = multi_;
    if (!start_driving(m)) return CURLE_ABORTED_BY_CALLBACK;
    CURLMcode mc = curl_multi_add_handle(m, easy_);
    if (mc != CURLM_OK) {
        stop_driving(m);
        return mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
    }
    CURLcode rc = CURLE_OK;
    bool done = false;
    while (!done) {
        if (client_stopping()) {
            rc = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int running = 0;
        mc = curl_multi_perform(m, &running);
        if (mc == CURLM_OK && running == 0) {
            int left = 0;
            CURLMsg *msg = curl_multi_info_read(m, &left);
            rc = msg != nullptr && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_GOT_NOTHING;
            done = true;
        } else if (mc == CURLM_OK) {
            // libcurl bounds the wait by the transfer's own time-outs; a watched thread wakes to
            // run its check.
            const int wait_ms = watch != nullptr ? 100 : 1000;
            mc = curl_multi_poll(m, nullptr, 0, wait_ms, nullptr);
            check_interrupt();
        }
        if (mc != CURLM_OK) {
            rc = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
            done = true;
        }
    }
    stop_driving(m);
    in_use_ = curl_multi_remove_handle(m, easy_) != CURLM_OK || mc != CURLM_OK;
    return rc;
}

}  // namespace zo
