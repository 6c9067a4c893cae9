/* Routines the library's units share with each other and with the tests. Not for outside callers. */
#ifndef ZO_INTERNAL_H
#define ZO_INTERNAL_H

#include <stdarg.h>

#include "hdr/zo_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the caller-owned error buffer, terminator included. */
#define ZO_ERR_BUF_SIZE 128

/* fmss_complete_subset_sum results besides 0. */
#define FMSS_NO_MEMORY (-1)
#define FMSS_TOTAL_OVERFLOW (-2)

/* ------------------------------------------------------------------------------------------
   Remote solver client. */

struct curl_slist;

/* Size of the request identifier buffer, terminator included. */
#define ZO_REQUEST_ID_SIZE 2000

/* What the submit response scanner found. Lives on the exchange's stack. */
typedef struct zo_submit_response {
    int32_t status;   /* 0, or -1 once the service's answer was rejected */
    char *request_id; /* ZO_REQUEST_ID_SIZE bytes owned by the exchange; the scanner writes the id */
    char *err_str;    /* malloc'ed failure text once status is -1 (NULL before); freed by the owner */
} zo_submit_response_t;

/* Bytes of a result payload collected so far (no terminator). */
typedef struct zo_download_buffer {
    char *memory; /* malloc'ed (or NULL while empty); freed by the owner */
    size_t size;
} zo_download_buffer_t;

/* Where _unzip_data writes the result: the caller's words and the address of their count. */
typedef struct zo_unpack_target {
    uint64_t *output;
    size_t *output_size;
} zo_unpack_target_t;

/* Certificate bundles and directories, searched in this order. */
ZO_API extern const char *const zo_curl_ca_locs[];
ZO_API extern const int zo_curl_ca_loc_max;

/* Header lines of a request: mode 1 is the submit (key and content type), any other mode the key
   line alone. NULL on failure; release with curl_slist_free_all. */
ZO_API struct curl_slist *_generate_slist(int mode);
/* The values as a JSON array of decimals, malloc'ed and NUL-terminated; NULL on failure. */
ZO_API char *_generate_curl_data(const uint64_t *values, size_t count);
/* The first of zo_curl_ca_locs that exists (straight from the table), or NULL. */
ZO_API const char *_curl_ca_location(void);
/* Non-zero for the transfer codes worth an immediate new attempt (time-out, TLS connect). */
ZO_API int _curl_transient_err(int code);

/* libcurl write callback of the submit: scans each piece as a flat JSON object into `record`
   (a zo_submit_response_t). Returns the bytes consumed; less than `count` stops the transfer. */
ZO_API size_t make_request_write_callback(char *data, size_t size, size_t count, void *record);
/* libcurl write callback of the poll: appends to `buffer` (a zo_download_buffer_t), refuses the
   not-ready answers with 0. */
ZO_API size_t write_memory_callback(char *data, size_t size, size_t count, void *buffer);
/* Inflates one gzip stream; *dest_len is the capacity in, the bytes produced out. zlib status. */
ZO_API int gunzip(unsigned char *dest, size_t *dest_len, const unsigned char *source,
                  size_t source_len);
/* Inflates the payload and writes its little-endian bytes into the target's words, at most their
   count (trailing zero bytes dropped). 0, or -1 when the payload is empty, damaged or not gzip:
   then the output is untouched. */
ZO_API int _unzip_data(zo_download_buffer_t *buffer, zo_unpack_target_t *target);

/* Diagnostics: zo_say formats one message and hands it to zo_diag_write, which gives it to the
   installed sink, or to standard output (flushed) when there is none or the sink declines (returns
   non-zero). Nothing is written while ZO_QUIET is "1". */
typedef int (*zo_diag_sink_t)(const char *text, size_t length);
void zo_set_diag_sink(zo_diag_sink_t sink);
int zo_diag_quiet(void);
void zo_diag_write(const char *text, size_t length);
void zo_vsay(const char *fmt, va_list ap);
void zo_say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

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
