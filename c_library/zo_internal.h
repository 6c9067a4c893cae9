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
/* libcurl's global set-up and the process-wide connection share, once; later calls return at
   once. Called on import, so that what the set-up reads from the environment is read there. */
void zo_client_init(void);

/* What a failed solve knows beyond its message: where it failed and why, for callers that can
   show more than the 127 characters of the error buffer. */
typedef struct zo_failure {
    char phase[16];            /* "prepare", "submit", "poll", "payload", "local"; "" when none */
    int curl_code;             /* the transfer's code, -1 when no transfer failed */
    char curl_words[96];       /* curl's own words for curl_code, "" when none */
    int deadline_passed;       /* the call ran out of its ZO_TIMEOUT */
    int not_ready_polls;       /* not-ready answers the poll received */
    char service_message[512]; /* the last {"message":...} the service sent, "" when none */
    char note[768];            /* one sentence that says what happened, "" when none */
} zo_failure_t;

/* The front door with a config snapshot: fetch_complete_subset_sum's contract, plus `failure`
   (may be NULL) filled in when the solve fails. */
ZO_API zo_status_t zo_solve(const zo_solve_config_t *config, const uint64_t *input,
                            size_t input_length, uint64_t *output, size_t *output_size,
                            char *err_buf, zo_failure_t *failure);
/* The remote exchange with a config snapshot. */
ZO_API zo_status_t zo_online_solve(const zo_solve_config_t *config, const uint64_t *input,
                                   size_t input_length, uint64_t *output, size_t *output_size,
                                   char *err_buf, zo_failure_t *failure);
/* fetch_complete_subset_sum_async with a config snapshot, which the worker takes over (also when
   this fails: then it is released). */
ZO_API zo_status_t zo_solve_async(zo_solve_config_t *config, uint64_t *input, size_t input_length,
                                  zo_completion_cb_t callback, void *context);

/* Header lines with the given key (see _generate_slist). */
ZO_API struct curl_slist *zo_key_headers(int mode, const char *api_key);

/* Result payload check: a sum set of values adding up to `total` has bit 0 and bit `total` set,
   no bit above `total`, and s set exactly when total - s is. Looks only at the bits `bytes` holds
   (little-endian, `len` bytes) below bit 64 * `words_held`. Non-zero when the bits pass. */
ZO_API int zo_sum_set_is_valid(const unsigned char *bytes, size_t len, size_t words_held,
                               uint64_t total);
/* _unzip_data that first checks the payload against `total` (zo_sum_set_is_valid). 0; -1 when
   the payload cannot be decoded; -2 when it is not a sum set. The output is written only on 0. */
ZO_API int zo_unpack_checked(zo_download_buffer_t *buffer, zo_unpack_target_t *target,
                             uint64_t total);

ZO_API int keep_local(void);
ZO_API void _safe_copy_to_err_buff(const char *msg, char *err_buf);
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
   written with the bit-deposit instruction (1) or bit by bit (0). For tests and tuning. */
ZO_API int64_t fmss_tune(int knob, int64_t value);

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

struct SlistDeleter {
    void operator()(curl_slist *l) const;
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

inline bool starts_with(const char *data, size_t len, const char *prefix) {
    const size_t n = strlen(prefix);
    return len >= n && memcmp(data, prefix, n) == 0;
}

}  // namespace zo
#endif

#endif /* ZO_INTERNAL_H */
