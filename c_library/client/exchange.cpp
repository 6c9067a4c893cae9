// The remote branch of the front door: prepares the request, submits it, polls for the payload
// and decodes it into the caller's words. The witness exchange asks the same way.
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "client/pool.h"
#include "client/steps.h"

using zo::FailureRecord;

zo_status_t zo::ask_service(const zo_solve_config_t *config, const uint64_t *values, size_t count,
                            const char *path, size_t capacity_words, DownloadOwner &download,
                            FailureRecord &report) {
    const zo::ExchangeInFlight counted;
    // Counted first: the exit's wait for exchanges either sees this one or has already stopped it.
    if (client_stopping()) return report.fail("[Local failure] the process is exiting");
    const double timeout_s = config->timeout_s;
    if (!(timeout_s > 0) || !std::isfinite(timeout_s))
        return report.fail("[Local failure] ZO_TIMEOUT is not a positive number of seconds");
    const Deadline deadline(timeout_s);

    Slist headers(zo_key_headers(1, config->api_key));
    if (!headers) return report.fail("[Local failure] slist failed to generate");
    Malloced<char> body(_generate_curl_data(values, count));
    if (!body) return report.fail("[Local failure] postdata failed to generate");
    bool ca_is_directory = false;
    std::string ca = ca_bundle(config, &ca_is_directory);
    if (ca.empty()) return report.fail("Couldn't find ca cert");
    Driver driver;
    const Transfer transfer{config, deadline, service_base(config), std::move(ca), ca_is_directory,
                            driver};

    char request_id[ZO_REQUEST_ID_SIZE] = {0};
    if (submit_problem(transfer, path, headers.get(), body.get(), request_id, report) != 0)
        return -1;
    headers.reset();
    body.reset();
    return poll_result(transfer, request_id, capacity_words, download, report);
}

namespace {

zo_status_t exchange(const zo_solve_config_t *config, const uint64_t *input, size_t input_length,
                     uint64_t *output, size_t *output_size, FailureRecord &report) {
    // A total past 64 bits cannot be checked against; its callers refuse it before the solve.
    uint64_t total = 0;
    bool total_known = true;
    for (size_t i = 0; i < input_length && total_known; i++)
        total_known = !__builtin_add_overflow(total, input[i], &total);

    zo::DownloadOwner download;
    if (zo::ask_service(config, input, input_length, ZO_SUBMIT_PATH, *output_size, download,
                        report) != 0)
        return -1;

    report.set_phase("payload");
    zo_unpack_target_t target{output, output_size};
    const int unpacked =
        total_known ? zo::unpack_checked(&download.buffer, &target, total, input, input_length)
                    : _unzip_data(&download.buffer, &target);
    if (unpacked == -2) {
        report.note("the result payload has bits that no set of values adding up to %llu can "
                    "give (bit 0, bit %llu and each value's set, none above, s set exactly when "
                    "%llu - s is)",
                    static_cast<unsigned long long>(total), static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(total));
        return report.fail("Result payload is not a valid sum set");
    }
    if (unpacked != 0) {
        report.note("the result payload is not one complete gzip stream");
        return report.fail("Result payload could not be decoded");
    }
    return 0;
}

}  // namespace

extern "C" zo_status_t zo_online_solve(const zo_solve_config_t *config, const uint64_t *input,
                                       size_t input_length, uint64_t *output, size_t *output_size,
                                       char *err_buf, zo_failure_t *failure) {
    FailureRecord report(err_buf, failure);
    // No C++ exception may cross into C callers; the owners have released everything by here.
    try {
        return exchange(config, input, input_length, output, output_size, report);
    } catch (...) {
        return report.fail("[Local failure] out of memory");
    }
}
