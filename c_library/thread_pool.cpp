// The thread start every background solve shares: kept threads, reused. A thread that finishes a
// job waits a few seconds for the next one and then ends; a job finding no idle thread gets a new
// one, so a long remote exchange never holds another job back and nothing is capped.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <pthread.h>

#include "witness/zo_witness.h"
#include "zo_internal.h"

namespace {

// How long a thread with nothing to do waits for a job before it ends.
constexpr time_t kIdleSeconds = 5;

struct Job {
    void *(*body)(void *);
    void *arg;
};

// An idle thread, on its own stack, listed while it waits for a job.
struct Idle {
    pthread_cond_t wake;
    Job job{nullptr, nullptr};
    Idle *next = nullptr;
};

// Plain pthread objects: nothing is torn down at the exit under threads still waiting.
pthread_mutex_t pool_mutex = PTHREAD_MUTEX_INITIALIZER;
Idle *idle_threads = nullptr;  // guarded by pool_mutex

// A forked child has none of its parent's threads: it forgets the idle ones (their stacks are
// its parent's) and starts its own when it needs them.
void lock_for_fork() { pthread_mutex_lock(&pool_mutex); }
void unlock_after_fork() { pthread_mutex_unlock(&pool_mutex); }
void reset_in_child() {
    pthread_mutex_init(&pool_mutex, nullptr);
    idle_threads = nullptr;
}

pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;
void install_fork_handlers() { pthread_atfork(lock_for_fork, unlock_after_fork, reset_in_child); }

// What a job may have set for its thread is not the next job's: each starts as on a new thread.
void reset_thread_settings() {
    fmss_local_threads(0);
    zo_witness_thread_budget(0);
    zo_client_watch(nullptr);
}

void unlist(Idle *self) {
    for (Idle **at = &idle_threads; *at != nullptr; at = &(*at)->next) {
        if (*at == self) {
            *at = self->next;
            return;
        }
    }
}

// The next job, or {nullptr} once the thread has waited its while for none.
Job wait_for_job() {
    Idle self;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    // The monotonic clock, so that a change of the system time cannot stretch the wait.
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&self.wake, &attr);
    pthread_condattr_destroy(&attr);
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kIdleSeconds;
    pthread_mutex_lock(&pool_mutex);
    self.next = idle_threads;
    idle_threads = &self;
    while (self.job.body == nullptr) {
        if (pthread_cond_timedwait(&self.wake, &pool_mutex, &deadline) == ETIMEDOUT) break;
    }
    // A job handed over as the wait ran out is still this thread's to run.
    if (self.job.body == nullptr) unlist(&self);
    const Job job = self.job;
    pthread_mutex_unlock(&pool_mutex);
    pthread_cond_destroy(&self.wake);
    return job;
}

void *serve(void *arg) {
    auto *first = static_cast<Job *>(arg);
    Job job = *first;
    free(first);
    while (job.body != nullptr) {
        job.body(job.arg);
        reset_thread_settings();
        job = wait_for_job();
    }
    return nullptr;
}

// True when an idle thread took the job.
bool hand_to_idle(void *(*body)(void *), void *arg) {
    pthread_mutex_lock(&pool_mutex);
    Idle *taker = idle_threads;
    if (taker != nullptr) {
        idle_threads = taker->next;
        taker->job = Job{body, arg};
        pthread_cond_signal(&taker->wake);
    }
    pthread_mutex_unlock(&pool_mutex);
    return taker != nullptr;
}

int start_thread(void *(*body)(void *), void *arg) {
    auto *job = static_cast<Job *>(malloc(sizeof(Job)));
    if (job == nullptr) return -1;
    *job = Job{body, arg};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free(job);
        return -1;
    }
    pthread_t thread;
    int started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (started == 0) started = pthread_create(&thread, &attr, serve, job);
    pthread_attr_destroy(&attr);
    if (started != 0) free(job);
    return started == 0 ? 0 : -1;
}

}  // namespace

extern "C" int zo_start_detached(void *(*body)(void *), void *arg) {
    pthread_once(&fork_handlers_once, install_fork_handlers);
    if (hand_to_idle(body, arg)) return 0;
    return start_thread(body, arg);
}
