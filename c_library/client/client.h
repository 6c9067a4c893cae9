/* The remote solver client as the front door and the tests see it: its records, the request
   preparation, the two write callbacks, the payload decoding and the exchange itself. */
#ifndef ZO_CLIENT_H
#define ZO_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "../hdr/zo_lib.h"
#include "failure.h"
#include "zo_protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

struct curl_slist;
/* One solve's settings (zo_internal.h). */
typedef struct zo_solve_config zo_solve_config_t;

/* Size of the request identifier buffer, terminator included. */
#define ZO_REQUEST_ID_SIZE (ZO_REQUEST_ID_MAX_CHARS + 1)

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
/* Header lines with the given key (see _generate_slist). */
ZO_API struct curl_slist *zo_key_headers(int mode, const char *api_key);
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

/* Result payload check: a sum set of values adding up to `total` has bit 0 and bit `total` set,
   no bit above `total`, and s set exactly when total - s is. Looks only at the bits `bytes` holds
   (little-endian, `len` bytes) below bit 64 * `words_held`. Non-zero when the bits pass. */
ZO_API int zo_sum_set_is_valid(const unsigned char *bytes, size_t len, size_t words_held,
                               uint64_t total);
/* Result payload check: a sum set of `values` holds every one of them. Looks only at the bits
   `bytes` holds (little-endian, `len` bytes) below bit 64 * `words_held`. Non-zero when it does. */
ZO_API int zo_sum_set_holds_values(const unsigned char *bytes, size_t len, size_t words_held,
                                   const uint64_t *values, size_t count);
/* _unzip_data that first checks the payload against `total` (zo_sum_set_is_valid). 0; -1 when
   the payload cannot be decoded; -2 when it is not a sum set. The output is written only on 0. */
ZO_API int zo_unpack_checked(zo_download_buffer_t *buffer, zo_unpack_target_t *target,
                             uint64_t total);

/* libcurl's global set-up and the process-wide connection share, once; later calls return at
   once. Called on import, so that what the set-up reads from the environment is read there. */
void zo_client_init(void);
/* Stops every exchange still talking to the service (their transfers end at once, their waits
   too) and waits up to `wait_s` seconds for them to return (a negative `wait_s`: until they have).
   Later exchanges fail at once. The process's exit does this itself, waiting until none is left:
   a transfer still running while the TLS library tears itself down can crash the process. */
ZO_API void zo_client_stop(double wait_s);

/* A check that exchanges on one thread make while they wait: `check(arg)` is called at least
   every 100 ms, never inside libcurl, and a non-zero answer ends the exchange at once and silently
   (`interrupted` is then set), as the process's exit does. */
typedef struct zo_interrupt_check {
    int (*check)(void *arg);
    void *arg;
    int interrupted;
} zo_interrupt_check_t;
/* Sets the check of the calling thread's exchanges (NULL: none) and returns the one it replaces,
   to be set back. The caller keeps `check` alive while it is set. */
ZO_API zo_interrupt_check_t *zo_client_watch(zo_interrupt_check_t *check);

/* The remote exchange with a config snapshot: fetch_complete_subset_sum's contract, plus
   `failure` (may be NULL) filled in when the solve fails. */
ZO_API zo_status_t zo_online_solve(const zo_solve_config_t *config, const uint64_t *input,
                                   size_t input_length, uint64_t *output, size_t *output_size,
                                   char *err_buf, zo_failure_t *failure);

/* Which of `values` add up to `target`, asked of the service with the same submit and poll as
   zo_online_solve. On 0, *found is 1 with the ascending indices in `indices` (capacity `count`)
   and their number in *index_count, or 0 when no sub-multiset reaches the target; nothing is
   written on failure (-1), whose message is in `err_buf` and details in `failure` (may be NULL). */
ZO_API zo_status_t zo_online_subset(const zo_solve_config_t *config, const uint64_t *values,
                                    size_t count, uint64_t target, size_t *indices,
                                    size_t *index_count, int *found, char *err_buf,
                                    zo_failure_t *failure);
/* Decodes a witness payload for `count` values: a gzip stream of little-endian words, 1 (found)
   or 0 (none), then k, then k indices, strictly ascending and below `count` (k = 0 and nothing
   more when none). 0 with the outputs written, or -1 when the payload breaks any of that (the
   outputs untouched). */
ZO_API int zo_witness_decode(const zo_download_buffer_t *buffer, size_t count, size_t *indices,
                             size_t *index_count, int *found);

#ifdef __cplusplus
}

#include <cstdlib>
#include <cstring>
#include <memory>

namespace zo {

static_assert(ZO_VALUE_MAX == UINT64_MAX, "values, totals and targets travel as 64-bit words");

struct SlistDeleter {
    void operator()(curl_slist *l) const;
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

/* A download buffer that releases its bytes on every path. */
struct DownloadOwner {
    zo_download_buffer_t buffer{nullptr, 0};
    DownloadOwner() = default;
    DownloadOwner(const DownloadOwner &) = delete;
    DownloadOwner &operator=(const DownloadOwner &) = delete;
    void clear() {
        free(buffer.memory);
        buffer = {nullptr, 0};
    }
    ~DownloadOwner() { free(buffer.memory); }
};

enum class Inflated { complete, window_full, damaged };
/* Inflates one gzip stream into dest[0 .. capacity); *produced is the number of bytes written.
   Output that outgrows the window is cut there; a stream that ends early or fails its check is
   damaged. */
Inflated inflate_gzip(unsigned char *dest, size_t capacity, const unsigned char *source,
                      size_t source_len, size_t *produced);
/* zo_unpack_checked that also checks the payload holds each of the `count` values (whose total
   is `total`): 0, -1 or -2 as it does. */
int unpack_checked(zo_download_buffer_t *buffer, zo_unpack_target_t *target, uint64_t total,
                   const uint64_t *values, size_t count);

/* Little-endian word `w` of `len` payload bytes; zeros past their end. */
uint64_t word_at(const unsigned char *bytes, size_t len, uint64_t w);
inline bool starts_with(const char *data, size_t len, const char *prefix) {
    const size_t n = strlen(prefix);
    return len >= n && memcmp(data, prefix, n) == 0;
}

}  // namespace zo
#endif

#endif /* ZO_CLIENT_H */
