/* Public interface of the zox solver library. */
#ifndef ZO_LIB_H
#define ZO_LIB_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define ZO_API __attribute__((visibility("default")))
#else
#define ZO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 0 is success, -1 is failure. */
typedef int zo_status_t;

/* Completion of a background solve. The callee owns `output` and `err_str` (both malloc'ed;
   `err_str` is NULL on success) and releases them with free(). */
typedef void (*zo_completion_cb_t)(zo_status_t result, uint64_t *output, size_t output_size,
                                   void *context, char *err_str);

/* Solves the complete subset sum problem for `input` into the bitset `output`, whose capacity in
   words is `*output_size` (callers size it as total / 64 + 1). On failure `err_buf` (128 bytes)
   holds a NUL-terminated message. */
ZO_API zo_status_t fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                             uint64_t *output, size_t *output_size,
                                             char *err_buf);

/* Runs fetch_complete_subset_sum on a detached thread of its own and reports through `callback`.
   `input` must be malloc'ed; the worker takes it over. Returns -1 when the thread could not be
   started: then nothing was taken over and no callback will come. */
ZO_API zo_status_t fetch_complete_subset_sum_async(uint64_t *input, size_t input_length,
                                                   zo_completion_cb_t callback, void *context);

#ifdef __cplusplus
}
#endif

#endif /* ZO_LIB_H */
