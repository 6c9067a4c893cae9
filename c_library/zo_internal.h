/* Routines the library's units share with each other and with the tests. Not for outside callers. */
#ifndef ZO_INTERNAL_H
#define ZO_INTERNAL_H

#include "hdr/zo_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the caller-owned error buffer, terminator included. */
#define ZO_ERR_BUF_SIZE 128

/* fmss_complete_subset_sum results besides 0. */
#define FMSS_NO_MEMORY (-1)
#define FMSS_TOTAL_OVERFLOW (-2)

ZO_API int keep_local(void);
ZO_API void _safe_copy_to_err_buff(const char *msg, char *err_buf);
ZO_API zo_status_t _online_fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                     uint64_t *output, size_t *output_size,
                                                     char *err_buf);

/* Local solver: the exact set of subset sums, written as the front door's output contract says. */
ZO_API int fmss_complete_subset_sum(const uint64_t *values, size_t values_count, uint64_t *output,
                                    size_t *output_size);

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

#endif /* ZO_INTERNAL_H */
