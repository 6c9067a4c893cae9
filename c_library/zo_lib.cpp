// Solver front door, the diagnostic printer and the C interface's own background solve (its
// threads come from thread_pool.cpp). The remote client lives in client/, its failure record
// in client/failure.cpp.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <memory>

#include "witness/zo_witness.h"
#include "zo_internal.h"

// Diagnostics go where zo_diag.cpp sends them: through the host's sink or to standard output.
extern "C" void zo_say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    zo_vsay(fmt, ap);
    va_end(ap);
}

extern "C" void say_line(const char *text) { zo_say("%s\n", text); }

extern "C" int keep_local(void) {
    const char *v = getenv("ZO_KILLSWITCH");
    return v != nullptr && strcmp(v, "1") == 0;
}

namespace {

// A copy of the variable's value; `absent` when it is unset (or empty, if empty_is_absent).
char *copy_env(const char *name, bool empty_is_absent, const char *absent, bool *out_of_memory) {
    const char *v = getenv(name);
    if (v == nullptr || (empty_is_absent && *v == '\0')) v = absent;
    if (v == nullptr) return nullptr;
    char *copy = strdup(v);
    if (copy == nullptr) *out_of_memory = true;
    return copy;
}

// ZO_TIMEOUT: a positive, finite number of seconds; NaN for anything else.
double timeout_from_env() {
    const char *v = getenv("ZO_TIMEOUT");
    if (v == nullptr || *v == '\0') return ZO_DEFAULT_TIMEOUT_S;
    char *end = nullptr;
    const double seconds = strtod(v, &end);
    while (end != nullptr && *end == ' ') end++;
    if (end == v || end == nullptr || *end != '\0' || !std::isfinite(seconds) || seconds <= 0)
        return std::nan("");
    return seconds;
}

}  // namespace

extern "C" zo_solve_config_t *zo_config_from_env(void) {
    auto *config = static_cast<zo_solve_config_t *>(calloc(1, sizeof(zo_solve_config_t)));
    if (config == nullptr) return nullptr;
    bool out_of_memory = false;
    config->keep_local = keep_local();
    // An unset key is sent as an empty value, never as a placeholder text.
    config->api_key = copy_env("ZO_API_KEY", false, "", &out_of_memory);
    config->service_url = copy_env("ZO_SERVICE_URL", true, nullptr, &out_of_memory);
    config->ca_bundle = copy_env("ZO_CA_BUNDLE", true, nullptr, &out_of_memory);
    config->timeout_s = timeout_from_env();
    // The first of libcurl's proxy variables that is set, as libcurl looks for them.
    const char *proxy_names[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    for (const char *name : proxy_names)
        if (config->proxy == nullptr) config->proxy = copy_env(name, true, nullptr, &out_of_memory);
    if (config->proxy == nullptr && !out_of_memory) {
        config->proxy = strdup("");
        out_of_memory = config->proxy == nullptr;
    }
    config->no_proxy = copy_env("no_proxy", true, nullptr, &out_of_memory);
    if (config->no_proxy == nullptr)
        config->no_proxy = copy_env("NO_PROXY", false, "", &out_of_memory);
    if (out_of_memory) {
        zo_config_free(config);
        return nullptr;
    }
    return config;
}

extern "C" zo_solve_config_t *zo_config_local(void) {
    auto *config = static_cast<zo_solve_config_t *>(calloc(1, sizeof(zo_solve_config_t)));
    if (config != nullptr) config->keep_local = 1;
    return config;
}

extern "C" void zo_config_free(zo_solve_config_t *config) {
    if (config == nullptr) return;
    free(config->api_key);
    free(config->service_url);
    free(config->ca_bundle);
    free(config->proxy);
    free(config->no_proxy);
    free(config);
}

namespace {

struct ConfigDeleter {
    void operator()(zo_solve_config_t *c) const { zo_config_free(c); }
};
using Config = std::unique_ptr<zo_solve_config_t, ConfigDeleter>;

zo_status_t no_config(char *err_buf, zo_failure_t *failure) {
    return zo_fail_plainly("prepare", "[Local failure] out of memory", err_buf, failure);
}

zo_status_t local_failure(const char *msg, char *err_buf, zo_failure_t *failure) {
    return zo_fail_plainly("local", msg, err_buf, failure);
}

// What an in-process solve can refuse, for both kinds of solve.
constexpr const char *too_large = "[Local failure] total of the values exceeds 2^64 - 1";
constexpr const char *no_memory = "[Local failure] not enough memory for the local solve";

}  // namespace

extern "C" zo_status_t zo_solve(const zo_solve_config_t *config, const uint64_t *input,
                                size_t input_length, uint64_t *output, size_t *output_size,
                                char *err_buf, zo_failure_t *failure) {
    if (!config->keep_local)
        return zo_online_solve(config, input, input_length, output, output_size, err_buf,
                               failure);
    switch (fmss_complete_subset_sum(input, input_length, output, output_size)) {
    case 0:
        return 0;
    case FMSS_TOTAL_OVERFLOW:
        return local_failure(too_large, err_buf, failure);
    default:
        return local_failure(no_memory, err_buf, failure);
    }
}

extern "C" zo_status_t zo_find_subset(const zo_solve_config_t *config, const uint64_t *values,
                                      size_t count, uint64_t target, size_t *indices,
                                      size_t *index_count, int *found, const volatile int *cancel,
                                      char *err_buf, zo_failure_t *failure) {
    if (!config->keep_local)
        return zo_online_subset(config, values, count, target, indices, index_count, found,
                                err_buf, failure);
    switch (zo_subset_with_sum(values, count, target, indices, index_count, cancel)) {
    case ZO_WITNESS_FOUND:
        *found = 1;
        return 0;
    case ZO_WITNESS_NONE:
        *found = 0;
        *index_count = 0;
        return 0;
    case ZO_WITNESS_CANCELLED:
        return ZO_FIND_CANCELLED;
    case ZO_WITNESS_TOO_LARGE:
        return local_failure(too_large, err_buf, failure);
    default:
        return local_failure(no_memory, err_buf, failure);
    }
}

extern "C" zo_status_t fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                 uint64_t *output, size_t *output_size,
                                                 char *err_buf) {
    Config config(zo_config_from_env());
    if (!config) return no_config(err_buf, nullptr);
    return zo_solve(config.get(), input, input_length, output, output_size, err_buf, nullptr);
}

extern "C" zo_status_t _online_fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                         uint64_t *output, size_t *output_size,
                                                         char *err_buf) {
    Config config(zo_config_from_env());
    if (!config) return no_config(err_buf, nullptr);
    return zo_online_solve(config.get(), input, input_length, output, output_size, err_buf,
                           nullptr);
}

// =============================================================================================
// Kept for C callers: the C interface's background solve (fetch_complete_subset_sum_async,
// zo_solve_async) and the thread body it names, fetch_complete_subset_sum_async_helper, which
// nothing here starts any more. The module's own forms run through the binding's one runner
// (python_library/zotools_solve.cpp), which adds what only it can: the exit gate that keeps
// completions away from a finishing interpreter, and the cancel flag.

namespace {

// A background solve whose settings were read on the caller's thread.
struct ConfiguredJob {
    zo_solve_job_t job;
    zo_solve_config_t *config;  // owned; NULL: read the environment on the worker
};

// What a background solve hands to its callback.
struct Outcome {
    zo_status_t status;
    uint64_t *output;
    size_t capacity;
    char *err_str;
};

// Solves the job's input and releases it; takes over `config` (NULL: the environment is read
// here). Returns before the callback runs, so none of its locals stays on the stack meanwhile.
__attribute__((noinline)) Outcome solve_job(uint64_t *input, size_t input_length,
                                            zo_solve_config_t *config) {
    char err_buf[ZO_ERR_BUF_SIZE] = {0};
    Outcome outcome{-1, nullptr, 0, nullptr};
    uint64_t total = 0;
    bool wrapped = false;
    for (size_t i = 0; i < input_length && !wrapped; i++)
        wrapped = __builtin_add_overflow(total, input[i], &total);
    if (wrapped) {
        // A wrapped total would size the output too small for the sums.
        _safe_copy_to_err_buff(too_large, err_buf);
    } else {
        outcome.capacity = static_cast<size_t>(total / 64 + 1);
        // Zeroed, so that no word a solver leaves unwritten reaches the callback as stale memory.
        outcome.output = static_cast<uint64_t *>(calloc(outcome.capacity, sizeof(uint64_t)));
        if (outcome.output == nullptr) {
            outcome.capacity = 0;
            _safe_copy_to_err_buff("[Local failure] not enough memory for the result", err_buf);
        } else if (config != nullptr) {
            outcome.status = zo_solve(config, input, input_length, outcome.output,
                                      &outcome.capacity, err_buf, nullptr);
        } else {
            outcome.status = fetch_complete_subset_sum(input, input_length, outcome.output,
                                                       &outcome.capacity, err_buf);
        }
    }
    free(input);
    zo_config_free(config);
    if (outcome.status != 0) {
        outcome.err_str = static_cast<char *>(malloc(strlen(err_buf) + 1));
        if (outcome.err_str != nullptr) strcpy(outcome.err_str, err_buf);
    }
    return outcome;
}

// The thread bodies stay on the stack while the callback runs, and the interpreter can end the
// thread inside it when it shuts down: nothing in them may need unwinding, and their frames carry
// no sanitizer red zones that such an end would leave behind.
__attribute__((no_sanitize_address)) void *run_configured_job(void *arg) {
    auto *configured = static_cast<ConfiguredJob *>(arg);
    const zo_solve_job_t job = configured->job;
    zo_solve_config_t *config = configured->config;
    free(configured);
    const Outcome o = solve_job(job.input, job.input_length, config);
    job.callback(o.status, o.output, o.capacity, job.context, o.err_str);
    return nullptr;
}

}  // namespace

extern "C" __attribute__((no_sanitize_address)) void *fetch_complete_subset_sum_async_helper(
    void *job_arg) {
    const zo_solve_job_t job = *static_cast<zo_solve_job_t *>(job_arg);
    free(job_arg);
    const Outcome o = solve_job(job.input, job.input_length, nullptr);
    job.callback(o.status, o.output, o.capacity, job.context, o.err_str);
    return nullptr;
}

extern "C" zo_status_t zo_solve_async(zo_solve_config_t *config, uint64_t *input,
                                      size_t input_length, zo_completion_cb_t callback,
                                      void *context) {
    auto *job = static_cast<ConfiguredJob *>(malloc(sizeof(ConfiguredJob)));
    if (job == nullptr) {
        zo_config_free(config);
        return -1;
    }
    *job = ConfiguredJob{zo_solve_job_t{input, input_length, callback, context}, config};

    if (zo_start_detached(run_configured_job, job) != 0) {
        zo_config_free(config);
        free(job);
        return -1;
    }
    return 0;
}

extern "C" zo_status_t fetch_complete_subset_sum_async(uint64_t *input, size_t input_length,
                                                       zo_completion_cb_t callback,
                                                       void *context) {
    // Read here, on the caller's thread, rather than on the worker.
    zo_solve_config_t *config = zo_config_from_env();
    if (config == nullptr) return -1;
    return zo_solve_async(config, input, input_length, callback, context);
}
