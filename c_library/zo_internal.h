/* Routines the library's units share with each other and with the tests. Not for outside callers. */
#ifndef ZO_INTERNAL_H
#define ZO_INTERNAL_H

#include <stdarg.h>

#include "hdr/zo_lib.h"
/* The protocol's values, shared with the service (generated from zox_service/protocol.json). */
#include "zo_protocol.h"
/* The remote client's records and routines, its failure record among them. */
#include "client/client.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the caller-owned error buffer: the longest message the service sends, and a NUL. */
#define ZO_ERR_BUF_SIZE (ZO_MESSAGE_MAX_CHARS + 1)

/* fmss_complete_subset_sum results besides 0. */
#define FMSS_NO_MEMORY (-1)
#define FMSS_TOTAL_OVERFLOW (-2)

/* Diagnostics: zo_say formats one message and hands it to zo_diag_write, which gives it to the
   installed sink, or to standard output (flushed) when there is none or the sink declines (returns
   non-zero). Nothing is written while ZO_QUIET is "1". */
typedef int (*zo_diag_sink_t)(const char *text, size_t length);
void zo_set_diag_sink(zo_diag_sink_t sink);
int zo_diag_quiet(void);
void zo_diag_write(const char *text, size_t length);
void zo_vsay(const char *fmt, va_list ap);
void zo_say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* One line of text (a newline added) to standard output, flushed. */
void say_line(const char *text);
/* printf into an exact-size malloc'ed text; NULL when it cannot be made. */
char *zo_heap_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* ------------------------------------------------------------------------------------------
   One solve's settings, read from the environment once per call on the calling thread (for Python
   callers with the interpreter lock held) and handed to the solve, which reads nothing else. */

/* Seconds a remote solve may take in all when ZO_TIMEOUT is unset. */
#define ZO_DEFAULT_TIMEOUT_S 300.0

typedef struct zo_solve_config {
    int keep_local;    /* ZO_KILLSWITCH is exactly "1" */
    char *api_key;     /* ZO_API_KEY, "" when unset */
    char *service_url; /* ZO_SERVICE_URL, NULL when unset or empty */
    char *ca_bundle;   /* ZO_CA_BUNDLE, NULL when unset or empty */
    double timeout_s;  /* ZO_TIMEOUT; ZO_DEFAULT_TIMEOUT_S when unset; NaN when not a positive
                          number of seconds, which fails a remote solve */
    /* libcurl's own variables, read here so that no transfer reads the environment: the proxy
       for https (https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY; "" for none) and the hosts that
       bypass it (no_proxy, NO_PROXY; "" for none). */
    char *proxy;
    char *no_proxy;
} zo_solve_config_t;

/* A malloc'ed snapshot of the environment (release with zo_config_free), or NULL when out of
   memory. Reads getenv: call it where nothing else may change the environment meanwhile. */
ZO_API zo_solve_config_t *zo_config_from_env(void);
ZO_API void zo_config_free(zo_solve_config_t *config);
/* Settings of a solve kept in this process (keep_local, nothing else set); NULL without memory. */
ZO_API zo_solve_config_t *zo_config_local(void);
/* The front door with a config snapshot: fetch_complete_subset_sum's contract, plus `failure`
   (may be NULL) filled in when the solve fails. */
ZO_API zo_status_t zo_solve(const zo_solve_config_t *config, const uint64_t *input,
                            size_t input_length, uint64_t *output, size_t *output_size,
                            char *err_buf, zo_failure_t *failure);
/* zo_find_subset's result when `*cancel` became non-zero: nothing is reported, the canceller
   knows why. */
#define ZO_FIND_CANCELLED (-2)
/* Which of `values` add up to `target`, through the front door: asked of the service
   (zo_online_subset) or, when config->keep_local, found in this process (zo_subset_with_sum,
   which stops once `*cancel` (may be NULL) becomes non-zero). zo_online_subset's contract, plus
   ZO_FIND_CANCELLED. */
ZO_API zo_status_t zo_find_subset(const zo_solve_config_t *config, const uint64_t *values,
                                  size_t count, uint64_t target, size_t *indices,
                                  size_t *index_count, int *found, const volatile int *cancel,
                                  char *err_buf, zo_failure_t *failure);
/* fetch_complete_subset_sum_async with a config snapshot, which the worker takes over (also when
   this fails: then it is released). */
ZO_API zo_status_t zo_solve_async(zo_solve_config_t *config, uint64_t *input, size_t input_length,
                                  zo_completion_cb_t callback, void *context);

/* Runs body(arg) on a kept idle thread or a new detached one: 0, or -1 when none could be started
   (then nothing ran). Thread-local settings the library offers are reset between jobs. */
int zo_start_detached(void *(*body)(void *), void *arg);

ZO_API int keep_local(void);
ZO_API zo_status_t _online_fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                     uint64_t *output, size_t *output_size,
                                                     char *err_buf);

/* Local solver: the exact set of subset sums, written as the front door's output contract says. */
ZO_API int fmss_complete_subset_sum(const uint64_t *values, size_t values_count, uint64_t *output,
                                    size_t *output_size);
/* Sets one knob of the local solver's engine for every later solve and returns its old value
   (INT64_MIN for an unknown knob): 0 path (0 by cost, 1 bitset, 2 lists, 3 residue classes),
   1 items taken by forced lists (-1: by cost), 2 lists start as runs (1), as sums (0) or by cost
   (-1), 3 shift-or build (0 by size, 1 baseline, 2 AVX2, 3 AVX-512), 4 reach-set bytes from which
   AVX2 is preferred, 5 plain shift-or work below which nothing is planned, 6 residue classes
   written with the bit-deposit instruction (1) or bit by bit (0), 7 threads per solve (0: as the
   process has them), 8 least words a thread takes of a pass. For tests and tuning. */
ZO_API int64_t fmss_tune(int knob, int64_t value);
/* Threads for the local solves the calling thread makes from now on (0: as the process has them:
   ZO_THREADS, else every core it may use); returns the previous count. */
ZO_API int64_t fmss_local_threads(int64_t threads);

/* Fenwick-table search over hash weights. A sized array is one malloc'ed block: a count, then
   that many entries. */
ZO_API uint32_t fmss_read(const uint32_t *F, uint32_t k);
ZO_API void update(uint32_t *F, uint32_t S, uint32_t i, uint32_t delta);
ZO_API void add_new_sums(uint32_t *R, const uint32_t *P, uint32_t *F, uint32_t S, uint32_t s,
                         uint32_t value);
ZO_API uint32_t *find_new_sums(const uint32_t *R, const uint32_t *F, const uint32_t *P, uint32_t S,
                               uint32_t modulus, uint32_t lo, uint32_t hi, uint32_t value);
ZO_API uint32_t *empty_sized_ar(void);
ZO_API uint32_t *one_item_sized_ar(uint32_t v);
ZO_API uint32_t *union_sized_ar(uint32_t *a, uint32_t *b);
ZO_API void print_sized_ar(const uint32_t *a);

/* One background solve, handed from fetch_complete_subset_sum_async to its thread. */
typedef struct zo_solve_job {
    uint64_t *input; /* malloc'ed; the worker releases it */
    size_t input_length;
    zo_completion_cb_t callback;
    void *context;
} zo_solve_job_t;

/* Thread body of a background solve: takes over and releases `job` (a malloc'ed zo_solve_job_t)
   and its input, then calls the job's callback exactly once. Returns NULL. */
ZO_API void *fetch_complete_subset_sum_async_helper(void *job);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstdlib>
#include <cstring>
#include <memory>

/* Owners the library's C++ units share. */
namespace zo {

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using Malloced = std::unique_ptr<T, FreeDeleter>;

}  // namespace zo
#endif

#endif /* ZO_INTERNAL_H */
