// Solver front door and remote solver client.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zo_internal.h"

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf) {
    printf("Failed with error: %s\n", msg);
    fflush(stdout);
    if (err_buf == nullptr) return;
    strncpy(err_buf, msg, ZO_ERR_BUF_SIZE - 1);
    err_buf[ZO_ERR_BUF_SIZE - 1] = '\0';
}

extern "C" int keep_local(void) {
    const char *v = getenv("ZO_KILLSWITCH");
    return v != nullptr && strcmp(v, "1") == 0;
}

extern "C" zo_status_t fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                 uint64_t *output, size_t *output_size,
                                                 char *err_buf) {
    if (!keep_local())
        return _online_fetch_complete_subset_sum(input, input_length, output, output_size, err_buf);
    switch (fmss_complete_subset_sum(input, input_length, output, output_size)) {
    case 0:
        return 0;
    case FMSS_TOTAL_OVERFLOW:
        _safe_copy_to_err_buff("[Local failure] total of the values exceeds 2^64 - 1", err_buf);
        return -1;
    default:
        _safe_copy_to_err_buff("[Local failure] not enough memory for the local solve", err_buf);
        return -1;
    }
}

extern "C" zo_status_t _online_fetch_complete_subset_sum(const uint64_t *, size_t, uint64_t *,
                                                         size_t *, char *err_buf) {
    _safe_copy_to_err_buff("[Local failure] remote solving is not available yet", err_buf);
    return -1;
}
