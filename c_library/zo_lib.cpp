// Solver front door, background solve worker and the diagnostic printer. The remote client lives
// beside it: zo_request.cpp, zo_scanner.cpp, zo_exchange.cpp, zo_payload.cpp.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

#include "zo_internal.h"

// Diagnostics go to standard output, flushed at once so they interleave with Python's own.
extern "C" void zo_say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

extern "C" void say_line(const char *text) {
    puts(text);
    fflush(stdout);
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

// ---------------------------------------------------------------------------------------------
// Background solve worker

extern "C" void *fetch_complete_subset_sum_async_helper(void *job_arg) {
    const zo_solve_job_t job = *static_cast<zo_solve_job_t *>(job_arg);
    free(job_arg);

    char err_buf[ZO_ERR_BUF_SIZE] = {0};
    uint64_t *output = nullptr;
    size_t capacity = 0;
    zo_status_t status = -1;
    uint64_t total = 0;
    bool wrapped = false;
    for (size_t i = 0; i < job.input_length && !wrapped; i++)
        wrapped = __builtin_add_overflow(total, job.input[i], &total);
    if (wrapped) {
        // A wrapped total would size the output too small for the sums.
        _safe_copy_to_err_buff("[Local failure] total of the values exceeds 2^64 - 1", err_buf);
    } else {
        capacity = static_cast<size_t>(total / 64 + 1);
        // Zeroed, so that no word a solver leaves unwritten reaches the callback as stale memory.
        output = static_cast<uint64_t *>(calloc(capacity, sizeof(uint64_t)));
        if (output == nullptr) {
            capacity = 0;
            _safe_copy_to_err_buff("[Local failure] not enough memory for the result", err_buf);
        } else {
            status = fetch_complete_subset_sum(job.input, job.input_length, output, &capacity,
                                               err_buf);
        }
    }
    free(job.input);

    char *err_str = nullptr;
    if (status != 0) {
        err_str = static_cast<char *>(malloc(strlen(err_buf) + 1));
        if (err_str != nullptr) strcpy(err_str, err_buf);
    }
    // Nothing here may need unwinding after the call: the interpreter can end this thread inside
    // the callback when it shuts down.
    job.callback(status, output, capacity, job.context, err_str);
    return nullptr;
}

extern "C" zo_status_t fetch_complete_subset_sum_async(uint64_t *input, size_t input_length,
                                                       zo_completion_cb_t callback,
                                                       void *context) {
    auto *job = static_cast<zo_solve_job_t *>(malloc(sizeof(zo_solve_job_t)));
    if (job == nullptr) return -1;
    *job = zo_solve_job_t{input, input_length, callback, context};

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free(job);
        return -1;
    }
    pthread_t thread;
    int started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (started == 0)
        started = pthread_create(&thread, &attr, fetch_complete_subset_sum_async_helper, job);
    pthread_attr_destroy(&attr);
    if (started != 0) {
        free(job);
        return -1;
    }
    return 0;
}
